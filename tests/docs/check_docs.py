#!/usr/bin/env python3
"""Checks that the reference covers the export table.

Every name in src/exports/exports.tab must be declared in include/tarvelin.h
right after its own documentation block (a brief, every parameter, the result),
have its row in the README's export table under its ordinal, and appear in the
man page when one is named; every error code of src/protocol/error_texts.cpp
must have its TARVELIN_E_ constant in the header. A callback type of the header
is documented as a function is. The C++ interface include/tarvelin.hpp must
call every handle function of the table (tarvelin_...), give each of its
documentation blocks a @brief, and be in the reference (the Doxyfile's INPUT,
its classes on the man page).

    python3 tests/docs/check_docs.py [--man build/native/docs/man/man3/tarvelin.3]

Prints one line per problem and "docs: N exports checked, N problems"; exits 1
when there is a problem.
"""
import argparse
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def exports(table):
    """(ordinal, name, argument bytes) of every line of the export table."""
    rows = []
    for line in table.read_text().splitlines():
        match = re.match(r"^(\d+)\s+(\w+)\s+(\d+)", line)
        if match:
            rows.append((int(match[1]), match[2], int(match[3])))
    return rows


def block_before(text, position):
    """The documentation block that ends right before `position`, or None."""
    before = text[:position].rstrip()
    if before.endswith("*/"):
        start = before.rfind("/**")
        if start >= 0 and "*/" not in before[start:-2]:
            return before[start:]
    return None


def documented(header, pattern):
    """Name -> (documentation block or None, parameter names) of what `pattern`
    finds: the name as its first group, the parameter list as its second."""
    text = header.read_text()
    found = {}
    for match in re.finditer(pattern, text):
        params = [re.findall(r"\w+", part)[-1] for part in match[2].split(",") if part.strip() not in ("", "void")]
        found[match[1]] = (block_before(text, match.start()), params)
    return found


def declarations(header):
    """The exported functions."""
    return documented(header, r"TARVELIN_API\s+[\w\s\*]+?TARVELIN_CALL\s+(\w+)\s*\(([^)]*)\)\s*;")


def callback_types(header):
    """The function pointer typedefs."""
    return documented(header, r"typedef\s+[\w\s\*]+?\(\s*TARVELIN_CALL\s*\*\s*(\w+)\s*\)\s*\(([^)]*)\)\s*;")


def without_comments(code):
    """C++ source without its comments, so that a name in a comment counts for nothing."""
    return re.sub(r"//[^\n]*|/\*.*?\*/", " ", code, flags=re.S)


def doxygen_inputs(doxyfile):
    """The file names the Doxyfile's INPUT lists (continuation lines included)."""
    text = doxyfile.read_text().replace("\\\n", " ")
    match = re.search(r"^INPUT\s*=(.*)$", text, re.M)
    return {pathlib.PurePosixPath(word).name for word in match[1].split()} if match else set()


def error_codes(source):
    """The codes the library records: its own table's and the board's 1 to 15."""
    text = source.read_text()
    codes = {int(code) for code in re.findall(r"\{\s*(\d+)\s*,\s*TextKind::", text)}
    codes |= {int(code) for code in re.findall(r"\{\s*'[0-9A-F]'\s*,\s*(\d+)\s*,", text)}
    return codes


def cpp_interface_problems(handle_functions, man):
    """What the C++ interface lacks: a handle function, a @brief, its place in the reference."""
    problems = []
    hpp = ROOT / "include/tarvelin.hpp"
    if not hpp.exists():
        return ["include/tarvelin.hpp is missing"]
    text = hpp.read_text()
    code = without_comments(text)
    for name in handle_functions:
        if not re.search(rf"\b{name}\s*\(", code):
            problems.append(f"{name}: include/tarvelin.hpp never calls it")
    for block in re.findall(r"/\*\*.*?\*/", text, re.S):
        if "@brief" not in block:
            first = next((line.strip(" */") for line in block.splitlines() if line.strip(" */")), "")
            problems.append(f"include/tarvelin.hpp: a documentation block without @brief: {first!r}")
    inputs = doxygen_inputs(ROOT / "docs/Doxyfile.in")
    for header in sorted((ROOT / "include").iterdir()):
        if header.suffix in (".h", ".hpp") and header.name not in inputs:
            problems.append(f"{header.name}: not in the INPUT of docs/Doxyfile.in")
    if man is not None:
        for cls in re.findall(r"^class\s+(\w+)\b[^;]*$", code, re.M):
            if not re.search(rf"tarvelin::{cls}\b", man):
                problems.append(f"tarvelin::{cls}: missing from the man page")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--man", type=pathlib.Path, help="the generated tarvelin(3) page")
    args = parser.parse_args()

    problems = []
    table = exports(ROOT / "src/exports/exports.tab")
    declared = declarations(ROOT / "include/tarvelin.h")
    readme = (ROOT / "README.md").read_text()
    man = args.man.read_text() if args.man else None

    for ordinal, name, arg_bytes in table:
        if name not in declared:
            problems.append(f"{name}: not declared in include/tarvelin.h")
            continue
        block, params = declared[name]
        if block is None:
            problems.append(f"{name}: no documentation block right before its declaration")
        else:
            if "@brief" not in block:
                problems.append(f"{name}: its documentation has no @brief")
            if "@return" not in block:
                problems.append(f"{name}: its documentation does not say what it returns")
            for param in params:
                if not re.search(rf"@param\s+{param}\b", block):
                    problems.append(f"{name}: parameter {param} is not documented")
        if len(params) * 4 != arg_bytes:
            problems.append(f"{name}: {len(params)} parameters declared, {arg_bytes} argument bytes in the table")
        if not re.search(rf"^\|\s*{ordinal}\s*\|\s*`{name}`\s*\|", readme, re.M):
            problems.append(f"{name}: no README row '| {ordinal} | `{name}` |' in the export table")
        if man is not None and not re.search(rf"\b{name}\b", man):
            problems.append(f"{name}: missing from the man page {args.man}")

    for name, (block, params) in callback_types(ROOT / "include/tarvelin.h").items():
        if block is None:
            problems.append(f"callback type {name}: no documentation block right before it")
            continue
        for param in params:
            if not re.search(rf"@param\s+{param}\b", block):
                problems.append(f"callback type {name}: parameter {param} is not documented")
        if "@return" not in block:
            problems.append(f"callback type {name}: its documentation does not say what it returns")

    problems += cpp_interface_problems([name for _, name, _ in table if name.startswith("tarvelin_")], man)

    header = (ROOT / "include/tarvelin.h").read_text()
    constants = {int(value) for value in re.findall(r"#define\s+TARVELIN_E_\w+\s+\(?(-?\d+)\)?", header)}
    for code in sorted(error_codes(ROOT / "src/protocol/error_texts.cpp")):
        if code not in constants:
            problems.append(f"error code {code}: no TARVELIN_E_ constant in include/tarvelin.h")

    for problem in problems:
        print(f"docs: FAIL {problem}")
    print(f"docs: {len(table)} exports checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

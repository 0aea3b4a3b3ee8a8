#!/usr/bin/env python3
"""Writes the TARVELIN_E_ error constants of include/tarvelin.h into the
bindings (Python, both Visual Basic modules, C#), between their markers.

A new error code is one #define line in the header, then:

    python3 scripts/sync_error_constants.py

With --check nothing is written; the exit status is 1 when a binding differs.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
BEGIN = "--- error codes of include/tarvelin.h (scripts/sync_error_constants.py)"
END = "--- end of the error codes"


def constants():
    header = (ROOT / "include/tarvelin.h").read_text()
    found = re.findall(r"#define\s+(TARVELIN_E_\w+)\s+\(?(-?\d+)\)?\s*/\*\*<\s*(.*?)\s*\*/", header)
    if not found:
        raise SystemExit("no TARVELIN_E_ constants in include/tarvelin.h")
    return found


def xml(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


# File, comment mark, indent, line of one constant, line ending.
TARGETS = [
    ("bindings/python/tarvelin/errors.py", "#", "", lambda n, v, d: [f"{n} = {v}  # {d}"], "\n"),
    ("bindings/vb/TARVELIN.bas", "'", "", lambda n, v, d: [f"Public Const {n} As Long = {v}"], "\r\n"),
    ("bindings/vb/TARVELIN64.bas", "'", "", lambda n, v, d: [f"Public Const {n} As Long = {v}"], "\r\n"),
    ("bindings/dotnet/Tarvelin.cs", "//", "        ",
     lambda n, v, d: [f"/// <summary>{xml(d)}</summary>", f"public const int {n} = {v};"], "\n"),
]


def main():
    check = "--check" in sys.argv[1:]
    table = constants()
    stale = []
    for path, mark, indent, render, newline in TARGETS:
        file = ROOT / path
        text = file.read_bytes().decode("latin-1")
        begin = f"{indent}{mark} {BEGIN}{newline}"
        end = f"{indent}{mark} {END}"
        start = text.find(begin)
        stop = text.find(end, start)
        if start < 0 or stop < 0:
            raise SystemExit(f"{path}: no '{mark} {BEGIN}' ... '{mark} {END}' markers")
        lines = [indent + line for name, value, doc in table for line in render(name, value, doc)]
        block = begin + newline.join(lines) + newline
        updated = text[:start] + block + text[stop:]
        if updated != text:
            stale.append(path)
            if not check:
                file.write_bytes(updated.encode("latin-1"))
    verb = "differ from the header" if check else "written"
    for path in stale:
        print(f"{path}: error constants {verb}")
    return 1 if check and stale else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Writes the declarations of the exports of src/exports/exports.tab into the
bindings (Python, both Visual Basic modules, C#) and the README's export table,
between their markers.

A new export is one line in the table (its C declaration as include/tarvelin.h
has it, its README cells), then:

    python3 scripts/gen_declarations.py

With --check nothing is written; the exit status is 1 when a file differs from
the table, or the table from the header's prototypes. --root DIR works on the
same files under DIR (a copy of the tree).
"""
import argparse
import pathlib
import re
import sys

TABLE = "src/exports/exports.tab"
BEGIN = f"generated from {TABLE} by scripts/gen_declarations.py: do not edit"
END = "end of generated declarations"
ROW = re.compile(r"(\d+)\s+(\w+)\s+(\d+)\s+(\w[\w ]*?\**)\s*\(([^)]*)\)\s*\|([^|]*)\|(.*)")
PROTOTYPE = re.compile(r"TARVELIN_API\s+([\w\s\*]+?)\s*TARVELIN_CALL\s+(\w+)\s*\(([^)]*)\)\s*;")
# The table's short C types, as the header spells them.
C_TYPE = {"int32": "int32_t", "int32*": "int32_t*", "SAFEARRAY**": "struct tagSAFEARRAY**"}
# Every type the table may use: each renderer below maps all of them.
TYPES = {"int32", "int32*", "const char*", "char*", "SAFEARRAY**", "tarvelin_board*", "tarvelin_board**", "void*",
         "tarvelin_progress"}


def read_table(root):
    rows = []
    for number, line in enumerate((root / TABLE).read_text().splitlines(), 1):
        if not re.match(r"\d", line):
            continue
        match = ROW.fullmatch(line.strip())
        if not match:
            raise SystemExit(f"{TABLE}:{number}: not 'ordinal name bytes result (type name, ...) | arguments | result'")
        arguments = [tuple(part.strip().rsplit(" ", 1)) for part in match[5].split(",") if part.strip()]
        for kind in [match[4].strip()] + [kind for kind, _ in arguments]:
            if kind not in TYPES:
                raise SystemExit(f"{TABLE}:{number}: the bindings know no type '{kind}' "
                                 f"(known: {', '.join(sorted(TYPES))}); scripts/gen_declarations.py maps each")
        rows.append({"ordinal": int(match[1]), "name": match[2], "result": match[4].strip(), "arguments": arguments,
                     "readme": (match[6].strip(), match[7].strip())})
    return rows


def read_header(root):
    """Name -> (position, result, [(type, name)], brief without @p) of every prototype."""
    text = (root / "include/tarvelin.h").read_text()
    found = {}
    for match in PROTOTYPE.finditer(text):
        arguments = []
        for part in match[3].split(","):
            part = " ".join(part.split())
            if part and part != "void":
                arguments.append(tuple(part.rsplit(" ", 1)))
        block = text[text.rfind("/**", 0, match.start()):match.start()]
        brief = re.search(r"@brief\s+(.*?)\s*(?:\n\s*\*\s*(?:\n|@)|\*/)", block, re.S)
        brief = " ".join(re.sub(r"^\s*\*\s?", "", line).strip() for line in (brief[1] if brief else "").split("\n"))
        found[match[2]] = (match.start(), " ".join(match[1].split()), arguments, re.sub(r"@p\s+", "", brief))
    return found


def against_header(rows, header):
    problems = []
    for row in rows:
        ours = (C_TYPE.get(row["result"], row["result"]),
                [(C_TYPE.get(kind, kind), name) for kind, name in row["arguments"]])
        if row["name"] not in header:
            problems.append(f"{TABLE}: {row['name']} has no prototype in include/tarvelin.h")
        elif ours != header[row["name"]][1:3]:
            shown = [f"{result} {row['name']}({', '.join(' '.join(pair) for pair in pairs)})"
                     for result, pairs in (ours, header[row["name"]][1:3])]
            problems.append(f"{TABLE}: {shown[0]} differs from include/tarvelin.h's {shown[1]}")
    return problems


def python(rows, header):
    kinds = {"int32": "_i32", "const char*": "_text", "char*": "ctypes.c_char_p", "int32*": "ctypes.POINTER(_i32)",
             "SAFEARRAY**": "ctypes.c_void_p", "tarvelin_board*": "_board", "tarvelin_board**": "ctypes.POINTER(_board)",
             "void*": "ctypes.c_void_p", "tarvelin_progress": "PROGRESS"}
    notes = {"ADCAnalogSamplingVb": "The safe array is Visual Basic's; from Python use ADCAnalogSampling."}
    lines = ["SIGNATURES = {"]
    for row in rows:
        if row["name"] in notes:
            lines.append(f"    # {notes[row['name']]}")
        arguments = ", ".join(kinds[kind] for kind, _ in row["arguments"])
        lines.append(f'    "{row["name"]}": ({kinds[row["result"]]}, [{arguments}]),')
    return lines + ["}"]


# VB names: a prefix by type, except where the name says more than the C one.
# {ptr} is the type of a pointer or handle: LongPtr under PtrSafe, Long in VB6.
VB_ARGUMENT = {"int32": ("n", "ByVal {} As Long"), "const char*": ("lp", "ByVal {} As String"),
               "char*": ("lp", "ByVal {} As String"), "int32*": ("lp", "{} As Long"),
               "SAFEARRAY**": ("lp", "{}() As Long"), "tarvelin_board*": ("h", "ByVal {} As {ptr}"),
               "tarvelin_board**": ("ph", "{} As {ptr}"), "void*": ("lp", "ByVal {} As {ptr}"),
               "tarvelin_progress": ("lp", "ByVal {} As {ptr}")}
VB_NAME = {("ADCAnalogSampling", "values"): "firstValue", ("MotorGo", "first"): "nChar1",
           ("MotorGo", "second"): "nChar2", ("tarvelin_sample", "values"): "firstValue",
           ("tarvelin_motor_go", "first"): "nChar1", ("tarvelin_motor_go", "second"): "nChar2"}
VB_NOTES = {
    "GetDLLVersion": ["GetDLLVersion and GetErrorMessage return a pointer to the library's text: "
                      "use the Vb variants."],
    "ADCAnalogSampling": ["firstValue: pass values(0) of an array of channels x samples Longs; "
                          "nothing checks its size."],
    "ADCAnalogSamplingVb": ["lpValueArray: an array of Long with the indices 0 to channels x samples - 1 "
                            "(ReDim values(0 To n - 1)),",
                            "filled from index 0; any other is refused with code 28 before anything is sent."],
    "tarvelin_open": ["Boards by handle: every function returns 0 (TARVELIN_OK) or an error code. "
                      "Keep the handle in a {ptr};",
                      "lpPort is \"COM3\" or \"3\". After a failed open, TarvelinBoardErrorText(0) tells why."],
    "tarvelin_error_text": ["lpBuffer: a String of nSize characters, e.g. String$(256, vbNullChar); "
                            "TarvelinBoardErrorText does this."],
    "tarvelin_code_text": ["Returns a pointer to the library's text."],
    "tarvelin_sample": ["firstValue: values(0) of an array of nCapacity Longs. lpProgress: 0, or AddressOf a Function "
                        "in a standard module:",
                        "Function OnProgress(ByVal lpContext As {ptr}, ByVal nReceived As Long, "
                        "ByVal nTotal As Long) As Long, 0 to go on, nonzero to cancel (code 92)."],
}


def vb_branch(rows, ptrsafe, indent):
    pointer = "LongPtr" if ptrsafe else "Long"
    lines = []
    for row in rows:
        name = row["name"]
        lines += [f"{indent}' {note.format(ptr=pointer)}" for note in VB_NOTES.get(name, [])]
        parts = []
        for kind, argument in row["arguments"]:
            prefix, form = VB_ARGUMENT[kind]
            parts.append(form.format(VB_NAME.get((name, argument), prefix + argument[0].upper() + argument[1:]),
                                     ptr=pointer))
        result = "Long" if row["result"] == "int32" else pointer
        declare = "Declare PtrSafe Function" if ptrsafe else "Declare Function"
        head = f'{indent}Public {declare} {name} Lib "TARVELIN.DLL" Alias "{name}" ('
        # Three arguments a line: the long ones stay readable in the VB editor.
        chunks = [", ".join(parts[at:at + 3]) for at in range(0, len(parts), 3)] or [""]
        for at, chunk in enumerate(chunks):
            start = head if at == 0 else f"{indent}    "
            lines.append(start + chunk + (", _" if at < len(chunks) - 1 else f") As {result}"))
    return lines


def vb6(rows, header):
    return vb_branch(rows, False, "")


def vba7(rows, header):
    return ["#If VBA7 Then"] + vb_branch(rows, True, "    ") + ["#Else"] + vb_branch(rows, False, "    ") + ["#End If"]


def csharp(rows, header):
    kinds = {"int32": "int", "const char*": "string", "char*": "StringBuilder", "int32*": "out int",
             "SAFEARRAY**": "[MarshalAs(UnmanagedType.SafeArray, SafeArraySubType = VarEnum.VT_I4)] ref int[]",
             "tarvelin_board*": "IntPtr", "tarvelin_board**": "out IntPtr", "void*": "IntPtr",
             "tarvelin_progress": "Progress"}
    # A pointer named values is the first of an array; any other int pointer is one result.
    arrays = {"int32*": "[Out] int[]"}
    results = {"int32": "int", "const char*": "IntPtr"}
    # A checked wrapper (hand-written after the markers) stands in front of these imports.
    wrapped = {"ADCAnalogSampling": "SamplingImport"}
    lines = []
    for row in rows:
        name = row["name"]
        arguments = ", ".join(f"{arrays[kind] if argument == 'values' else kinds[kind]} {argument}"
                              for kind, argument in row["arguments"])
        entry = f', EntryPoint = "{name}"' if name in wrapped else ""
        if name not in wrapped:
            brief = header[name][3].replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            lines.append(f"/// <summary>{brief}</summary>")
        # Winapi is the library's TARVELIN_CALL: StdCall on Windows, Cdecl elsewhere.
        lines.append(f"[DllImport(Library{entry}, CallingConvention = CallingConvention.Winapi, "
                     "CharSet = CharSet.Ansi, ExactSpelling = true)]")
        lines.append(f"{'private' if name in wrapped else 'public'} static extern {results[row['result']]} "
                     f"{wrapped.get(name, name)}({arguments});")
        lines.append("")
    return lines[:-1]


def readme(rows, header):
    return ["| Ordinal | Export | Arguments | Result |", "| --- | --- | --- | --- |"] + [
        f"| {row['ordinal']} | `{row['name']}` | {row['readme'][0]} | {row['readme'][1]} |" for row in rows]


# File, marker line from its text, indent, block, order (the header's or the ordinals'), line ending.
TARGETS = [
    ("bindings/python/tarvelin/_native.py", "# --- {} ---", "", python, "ordinal", "\n"),
    ("bindings/vb/TARVELIN.bas", "' --- {} ---", "", vb6, "header", "\r\n"),
    ("bindings/vb/TARVELIN64.bas", "' --- {} ---", "", vba7, "header", "\r\n"),
    ("bindings/dotnet/Tarvelin.cs", "// --- {} ---", "        ", csharp, "header", "\n"),
    ("README.md", "<!-- {} -->", "", readme, "ordinal", "\n"),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="write nothing; exit 1 when a file differs")
    parser.add_argument("--root", type=pathlib.Path, default=pathlib.Path(__file__).resolve().parents[1])
    args = parser.parse_args()
    rows = read_table(args.root)
    header = read_header(args.root)
    problems = against_header(rows, header)
    if problems:
        print("\n".join(problems))
        return 1
    orders = {"ordinal": sorted(rows, key=lambda row: row["ordinal"]),
              "header": sorted(rows, key=lambda row: header[row["name"]][0])}
    stale = []
    for path, marker, indent, render, order, newline in TARGETS:
        file = args.root / path
        text = file.read_bytes().decode("latin-1")
        begin = indent + marker.format(BEGIN) + newline
        end = indent + marker.format(END)
        start = text.find(begin)
        stop = text.find(end, start)
        if start < 0 or stop < 0:
            raise SystemExit(f"{path}: no '{begin.strip()}' ... '{end.strip()}' markers")
        lines = [indent + line if line else "" for line in render(orders[order], header)]
        updated = text[:start] + begin + newline.join(lines) + newline + text[stop:]
        if updated != text:
            stale.append(path)
            if not args.check:
                file.write_bytes(updated.encode("latin-1"))
    verb = f"differ from {TABLE}" if args.check else "written"
    for path in stale:
        print(f"{path}: declarations {verb}")
    return 1 if args.check and stale else 0


if __name__ == "__main__":
    sys.exit(main())

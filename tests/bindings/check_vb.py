#!/usr/bin/env python3
"""Checks the Visual Basic modules against the export table and the header.

Every Declare of bindings/vb/TARVELIN.bas, and of both branches of
TARVELIN64.bas (#If VBA7 with PtrSafe and LongPtr, #Else without), must name
an export of src/exports/exports.tab in TARVELIN.DLL with its argument count
and the VB types of the header's C types; every export must be declared once
per branch. Every Declare names its entry point with an Alias (VBA recases a
Declare's name when a user's identifier differs only in case, and the entry
point is then not found), and no parameter is named like an identifier users
write (`value` would recase every `.Value` of the project). The Windows
functions the helpers use are Private, aliased and PtrSafe in the VBA7 branch.
The Const error codes must be the header's TARVELIN_E_ constants;
TarvelinErrorText must read the text through GetErrorMessageVb, TarvelinQuiet
set TARVELIN_MESSAGEBOX through SetEnvironmentVariableA, TarvelinLoad load the
DLL by path, TarvelinComPorts list the ports, TarvelinBoardErrorText read a board's text through tarvelin_error_text.

Prints one line per problem and "vb: N declarations checked, N problems".
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]

# C type of the header -> the VB argument form (ByVal or not, VB type); POINTER
# is LongPtr under PtrSafe and Long in VB6.
POINTER = "pointer"
ARGUMENT = {
    "int32_t": ("ByVal", "Long"),
    "const char*": ("ByVal", "String"),
    "char*": ("ByVal", "String"),
    "int32_t*": ("ByRef", "Long"),  # one result, or the array's first element, by reference
    "struct tagSAFEARRAY**": ("ByRef", "Long()"),  # a VB array of Long
    "tarvelin_board*": ("ByVal", POINTER),  # the handle
    "tarvelin_board**": ("ByRef", POINTER),  # where the handle goes
    "void*": ("ByVal", POINTER),
    "tarvelin_progress": ("ByVal", POINTER),  # AddressOf a Function
}


def export_table():
    table = {}
    for line in (ROOT / "src/exports/exports.tab").read_text().splitlines():
        match = re.match(r"^\d+\s+(\w+)\s+(\d+)", line)
        if match:
            table[match[1]] = int(match[2]) // 4
    return table


def header():
    text = (ROOT / "include/tarvelin.h").read_text()
    functions = {}
    for match in re.finditer(r"TARVELIN_API\s+([\w\s\*]+?)\s*TARVELIN_CALL\s+(\w+)\s*\(([^)]*)\)\s*;", text):
        arguments = []
        for part in match[3].split(","):
            part = " ".join(part.split())
            if part and part != "void":
                name = re.findall(r"\w+", part)[-1]
                arguments.append(part[: part.rfind(name)].strip())
        functions[match[2]] = (" ".join(match[1].split()), arguments)
    constants = {name: int(value) for name, value in
                 re.findall(r"#define\s+(TARVELIN_E_\w+)\s+\(?(-?\d+)\)?", text)}
    return functions, constants


def logical_lines(path):
    text = path.read_bytes().decode("latin-1").replace("\r\n", "\n")
    return re.sub(r" _\n\s*", " ", text).split("\n")


# Parameter names that are also names of properties and variables in users'
# code: VB gives every use of a name the case of its latest declaration.
COMMON_NAMES = {"value", "address", "port", "channel", "mode", "buffer", "command", "name", "text", "count",
                "first", "second", "values", "frequency", "resolution", "selector", "broadcast", "pulses"}

# The Windows functions the helpers may declare, by entry point.
KERNEL32 = {"LoadLibraryA": "LongPtr", "SetEnvironmentVariableA": "Long", "QueryDosDeviceA": "Long"}


def vb_argument(text):
    match = re.fullmatch(r"(?:(ByVal|ByRef)\s+)?(\w+)(\(\))?\s+As\s+(\w+)", text.strip())
    if not match:
        return None
    passing = match[1] or "ByRef"
    return passing, match[4] + ("()" if match[3] else "")


def argument_names(arguments):
    return [re.findall(r"\w+", part.replace("ByVal", "").replace("ByRef", ""))[0]
            for part in arguments.split(",") if part.strip()]


def check_branch(label, lines, ptrsafe, table, functions, problems):
    seen = {}
    for line in lines:
        match = re.match(r"\s*(Public\s+|Private\s+)?Declare\s+(PtrSafe\s+)?Function\s+(\w+)\s+Lib\s+\"([^\"]+)\""
                         r"(?:\s+Alias\s+\"([^\"]+)\")?\s*\((.*)\)\s+As\s+(\w+)\s*$", line)
        if not match:
            if re.match(r"\s*(Public\s+|Private\s+)?Declare\b", line):
                problems.append(f"{label}: cannot read: {line.strip()}")
            continue
        scope, has_ptrsafe, name, lib, alias, arguments, result = match.groups()
        for argument in argument_names(arguments):
            if argument.lower() in COMMON_NAMES:
                problems.append(f"{label}: {name} has a parameter named {argument}, which recases users' names")
        if lib.lower() == "kernel32":
            if alias not in KERNEL32 or (scope or "").strip() != "Private":
                problems.append(f"{label}: {name}: kernel32 functions are Private with an Alias of {sorted(KERNEL32)}")
            elif bool(has_ptrsafe) != ptrsafe:
                problems.append(f"{label}: {name} {'lacks' if ptrsafe else 'has'} PtrSafe")
            elif result != (KERNEL32[alias] if ptrsafe else "Long"):
                problems.append(f"{label}: {name} returns {result}")
            continue
        if alias != name:
            problems.append(f"{label}: {name} has {'Alias ' + repr(alias) if alias else 'no Alias'}, "
                            f"not Alias \"{name}\"")
        seen[name] = seen.get(name, 0) + 1
        if name not in table:
            problems.append(f"{label}: {name} is not an export")
            continue
        if lib.upper() != "TARVELIN.DLL":
            problems.append(f"{label}: {name} comes from {lib}, not TARVELIN.DLL")
        if bool(has_ptrsafe) != ptrsafe:
            problems.append(f"{label}: {name} {'lacks' if ptrsafe else 'has'} PtrSafe")
        parsed = [vb_argument(part) for part in arguments.split(",")] if arguments.strip() else []
        if len(parsed) != table[name]:
            problems.append(f"{label}: {name} declares {len(parsed)} arguments, the export takes {table[name]}")
            continue
        c_result, c_arguments = functions[name]
        for index, (vb, c_type) in enumerate(zip(parsed, c_arguments), 1):
            wanted = ARGUMENT.get(c_type)
            if wanted and wanted[1] == POINTER:
                wanted = (wanted[0], "LongPtr" if ptrsafe else "Long")
            if vb != wanted:
                problems.append(f"{label}: {name} argument {index} is {vb}, the header's {c_type} wants {wanted}")
        wanted = "Long" if c_result == "int32_t" else ("LongPtr" if ptrsafe else "Long")
        if result != wanted:
            problems.append(f"{label}: {name} returns {result}, the header's {c_result} wants {wanted}")
    for name in table:
        if seen.get(name, 0) != 1:
            problems.append(f"{label}: {name} declared {seen.get(name, 0)} times")
    return sum(seen.values())


def branches(lines):
    """The lines of the #If VBA7 branch and of the #Else branch."""
    vba7, other, where = [], [], None
    for line in lines:
        stripped = line.strip()
        if re.match(r"#If\s+VBA7\s+Then", stripped):
            where = vba7
        elif stripped == "#Else" and where is vba7:
            where = other
        elif stripped == "#End If":
            where = None
        elif where is not None:
            where.append(line)
    return vba7, other


def main():
    table = export_table()
    functions, constants = header()
    problems = []
    checked = 0
    for module, is_vba7 in (("TARVELIN.bas", False), ("TARVELIN64.bas", True)):
        path = ROOT / "bindings/vb" / module
        lines = logical_lines(path)
        if is_vba7:
            vba7, other = branches(lines)
            if not vba7 or not other:
                problems.append(f"{module}: no #If VBA7 Then ... #Else ... #End If")
            checked += check_branch(f"{module} (VBA7)", vba7, True, table, functions, problems)
            checked += check_branch(f"{module} (#Else)", other, False, table, functions, problems)
        else:
            if any("#If" in line or "LongPtr" in line for line in lines):
                problems.append(f"{module}: VB6 knows neither #If VBA7 nor LongPtr")
            checked += check_branch(module, lines, False, table, functions, problems)
        declared = {}
        for line in lines:
            match = re.match(r"\s*Public\s+Const\s+(TARVELIN_E_\w+)\s+As\s+Long\s*=\s*(-?\d+)\s*$", line)
            if match:
                declared[match[1]] = int(match[2])
        if declared != constants:
            missing = sorted(set(constants) - set(declared))
            wrong = sorted(name for name in declared if constants.get(name) != declared[name])
            problems.append(f"{module}: error constants differ from the header (missing {missing}, wrong {wrong}); "
                            "python3 scripts/sync_error_constants.py writes them")
        helper = re.search(r"Function\s+TarvelinErrorText\(\)\s+As\s+String(.*?)End\s+Function", "\n".join(lines),
                           re.S)
        if not helper or "GetErrorMessageVb" not in helper[1]:
            problems.append(f"{module}: no TarvelinErrorText() reading GetErrorMessageVb")
        text = "\n".join(lines)
        for helper_name, needs in (("TarvelinQuiet", ("TvSetEnvironmentVariable", '"TARVELIN_MESSAGEBOX", "0"')),
                                   ("TarvelinLoad", ("TvLoadLibrary", "TARVELIN.DLL")),
                                   ("TarvelinComPorts", ("TvQueryDosDevice",)),
                                   ("TarvelinBoardErrorText", ("tarvelin_error_text",))):
            body = re.search(rf"(?:Function|Sub)\s+{helper_name}\(.*?End\s+(?:Function|Sub)", text, re.S)
            if not body or not all(need in body[0] for need in needs):
                problems.append(f"{module}: no {helper_name} using {', '.join(needs)}")
    for problem in problems:
        print(f"vb: FAIL {problem}")
    print(f"vb: {checked} declarations checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""scripts/gen_declarations.py --check on a copy of the tree: the copy as it is
passes; one Declare changed in the 64-bit VB module fails and names that file;
a type in the table that no binding maps fails and names its line.

    python3 tests/docs/test_gen_declarations.py
"""
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
FILES = ["src/exports/exports.tab", "include/tarvelin.h", "README.md", "bindings/python/tarvelin/_native.py",
         "bindings/vb/TARVELIN.bas", "bindings/vb/TARVELIN64.bas", "bindings/dotnet/Tarvelin.cs"]


class CheckMode(unittest.TestCase):
    def check(self, root):
        return subprocess.run([sys.executable, str(ROOT / "scripts/gen_declarations.py"), "--check", "--root",
                               str(root)], capture_output=True, text=True)

    def copy(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        copy = pathlib.Path(folder.name)
        for name in FILES:
            (copy / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(ROOT / name, copy / name)
        return copy

    def test_a_type_no_binding_knows_is_named_with_its_line(self):
        copy = self.copy()
        table = copy / "src/exports/exports.tab"
        text = table.read_text()
        changed = text.replace("tarvelin_close 4 int32 (tarvelin_board* board)", "tarvelin_close 4 int32 (float board)")
        self.assertNotEqual(changed, text)
        table.write_text(changed)
        line = next(number for number, row in enumerate(changed.splitlines(), 1) if "(float board)" in row)
        failed = self.check(copy)
        self.assertEqual(failed.returncode, 1)
        self.assertIn(f"src/exports/exports.tab:{line}: the bindings know no type 'float'", failed.stderr)

    def test_a_changed_declaration_is_named(self):
        copy = self.copy()
        clean = self.check(copy)
        self.assertEqual((clean.returncode, clean.stdout), (0, ""), clean.stderr)
        module = copy / "bindings/vb/TARVELIN64.bas"
        text = module.read_bytes()
        changed = text.replace(b"(ByVal nPort As Long, ByVal nBaudRate As Long)",
                               b"(ByVal nPort As Long, nBaudRate As Long)", 1)
        self.assertNotEqual(changed, text)
        module.write_bytes(changed)
        stale = self.check(copy)
        self.assertEqual(stale.returncode, 1)
        self.assertEqual(stale.stdout.splitlines(),
                         ["bindings/vb/TARVELIN64.bas: declarations differ from src/exports/exports.tab"])


if __name__ == "__main__":
    unittest.main()

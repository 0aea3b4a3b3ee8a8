#!/usr/bin/env python3
"""scripts/gen_declarations.py --check on a copy of the tree: the copy as it is
passes; one Declare changed in the 64-bit VB module fails and names that file.

    python3 tests/docs/test_gen_declarations.py
"""
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
FILES = ["src/exports/exports.tab", "include/tarvelin.h", "README.md", "bindings/python/tarvelin/__init__.py",
         "bindings/vb/TARVELIN.bas", "bindings/vb/TARVELIN64.bas", "bindings/dotnet/Tarvelin.cs"]


class CheckMode(unittest.TestCase):
    def check(self, root):
        return subprocess.run([sys.executable, str(ROOT / "scripts/gen_declarations.py"), "--check", "--root",
                               str(root)], capture_output=True, text=True)

    def test_a_changed_declaration_is_named(self):
        with tempfile.TemporaryDirectory() as folder:
            copy = pathlib.Path(folder)
            for name in FILES:
                (copy / name).parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(ROOT / name, copy / name)
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

"""The search for TARVELIN.DLL on Windows, run anywhere: the folders are real,
the loader and os.add_dll_directory are stand-ins that record what they get.

    python3 -m unittest discover -s bindings/python/tests -p test_loader.py
"""
import os
import pathlib
import tempfile
import unittest

import tarvelin


class StandIns:
    """ctypes.WinDLL and os.add_dll_directory: a file holding "other width" fails as Windows error 193 does."""

    def __init__(self):
        self.added = []
        self.loaded = []

    def add_dll_directory(self, folder):
        self.added.append(folder)
        return object()

    def loader(self, path):
        if pathlib.Path(path).read_text() == "other width":
            raise OSError("[WinError 193] %1 is not a valid Win32 application")
        self.loaded.append(path)
        return path


class WindowsSearch(unittest.TestCase):
    def setUp(self):
        self.root = pathlib.Path(tempfile.mkdtemp())
        # The unpacked Windows package: bindings/python/tarvelin beside x86 and x64.
        self.package = self.root / "bindings/python/tarvelin"
        self.on_path = self.root / "tools"
        self.named = self.root / "named"
        for folder in (self.package, self.on_path, self.named, self.root / "x64", self.root / "x86"):
            folder.mkdir(parents=True)
        self.environ = {"PATH": os.pathsep.join([str(self.root / "empty"), str(self.on_path)])}

    def tearDown(self):
        for path in sorted(self.root.rglob("*"), reverse=True):
            path.rmdir() if path.is_dir() else path.unlink()
        self.root.rmdir()

    def load(self, bits=64):
        stand_ins = StandIns()
        lib = tarvelin._load_windows(self.environ, str(self.package), bits, stand_ins.loader,
                                     stand_ins.add_dll_directory)
        self.assertEqual(stand_ins.added[-1], os.path.dirname(lib))
        return lib

    def test_order_named_beside_the_package_width_folder_then_path(self):
        (self.on_path / "TARVELIN.DLL").write_text("dll")
        self.assertEqual(self.load(), str(self.on_path / "TARVELIN.DLL"))
        (self.root / "x86/TARVELIN.DLL").write_text("dll")
        self.assertEqual(self.load(bits=32), str(self.root / "x86/TARVELIN.DLL"))
        self.assertEqual(self.load(bits=64), str(self.on_path / "TARVELIN.DLL"))
        (self.root / "x64/TARVELIN.DLL").write_text("dll")
        self.assertEqual(self.load(), str(self.root / "x64/TARVELIN.DLL"))
        (self.package / "TARVELIN.DLL").write_text("dll")
        self.assertEqual(self.load(), str(self.package / "TARVELIN.DLL"))
        # TARVELIN_LIBRARY names a folder or the file itself.
        (self.named / "TARVELIN.DLL").write_text("dll")
        self.environ["TARVELIN_LIBRARY"] = str(self.named)
        self.assertEqual(self.load(), str(self.named / "TARVELIN.DLL"))
        self.environ["TARVELIN_LIBRARY"] = str(self.named / "TARVELIN.DLL")
        self.assertEqual(self.load(), str(self.named / "TARVELIN.DLL"))

    def test_a_dll_of_the_other_width_is_passed_over_and_every_place_is_named(self):
        (self.package / "TARVELIN.DLL").write_text("other width")
        (self.on_path / "TARVELIN.DLL").write_text("dll")
        self.assertEqual(self.load(), str(self.on_path / "TARVELIN.DLL"))
        (self.on_path / "TARVELIN.DLL").write_text("other width")
        with self.assertRaises(OSError) as raised:
            self.load()
        message = str(raised.exception)
        for place in (self.package, self.root / "x64", self.root / "empty", self.on_path):
            self.assertIn(str(place / "TARVELIN.DLL"), message)
        self.assertIn("WinError 193", message)
        self.assertIn("not there", message)
        self.assertIn("TARVELIN_LIBRARY", message)


if __name__ == "__main__":
    unittest.main()

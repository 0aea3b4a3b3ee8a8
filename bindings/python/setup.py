"""The package's version is the library's: the project version of the
repository's CMakeLists.txt, or version.txt where the Windows package put it."""
import pathlib
import re

from setuptools import setup

HERE = pathlib.Path(__file__).resolve().parent


def library_version():
    shipped = HERE / "version.txt"
    if shipped.exists():
        return shipped.read_text().strip()
    top = (HERE.parents[1] / "CMakeLists.txt").read_text()
    match = re.search(r"^project\(tarvelin VERSION ([0-9.]+)", top, re.M)
    if not match:
        raise SystemExit("no project(tarvelin VERSION ...) in the repository's CMakeLists.txt")
    return match[1]


setup(version=library_version())

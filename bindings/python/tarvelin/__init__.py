"""Python binding of the TARVELIN driver library for the I/O controller board.

Example::

    import tarvelin

    with tarvelin.Board("COM3") as board:     # closed again at the end
        board.port_write("C", 17)
        print(board.port_read("B"))
        a, b = board.sample(10, [0, 1], rate_code=2, sample_count=100)

Each :class:`Board` has its own handle in the library: several boards at once,
from several threads. Every call that fails raises :class:`TarvelinError` with
the error code and the board's text. Only the standard library is needed;
:meth:`Board.sample` returns a numpy array when numpy is installed.

:class:`ClassicBoard` is the wrapper of the classic exports (one port per
process), the ``Board`` of earlier versions; :func:`native` gives the library
itself, every function under its C name.
"""
from __future__ import annotations

from . import errors
# _load_windows and _windows_places are here for the tests of the search on Windows.
from ._native import CHANNELS, MAX_VALUES, SIGNATURES, _load_windows, _windows_places, load, native
from .board import Board, code_text
from .classic import ClassicBoard
from .errors import TarvelinError

__all__ = ["Board", "ClassicBoard", "TarvelinError", "errors", "code_text", "load", "native", "version",
           "SIGNATURES", "CHANNELS", "MAX_VALUES"]

version = Board.version

"""Boards by handle: one :class:`Board` per board, several at once, from any thread."""
from __future__ import annotations

import contextlib
import ctypes
import operator
import os
import signal
import threading
from typing import Callable, Iterable, List, Optional, Union

from ._native import PROGRESS, _board, _i32, block_channels, by_channel, channel_mask, native, port_letter
from .errors import TARVELIN_E_BAD_HANDLE, TarvelinError
# Room for the longest error text (an answer of 99 characters quoted, the command named).
_TEXT_ROOM = 512

Progress = Callable[[int, int], object]

# Names of the classic wrapper's methods and what they are called here.
_RENAMED = {"read_port": "port_read", "write_port": "port_write", "read_adc_m2": "adc_m2", "set_pwm": "pwm_set",
            "pwm_output_counter": "pwm_counter", "disable_motor": "motor_disable",
            "reset_io485_network": "io485_reset", "change_baud_rate": "set_baud_rate"}


def code_text(code: int, library: Optional[str] = None) -> str:
    """The fixed text of an error code, e.g. "COM port timed out" for 26."""
    return _code_text(native(library), _int32(code, "code"))


def _code_text(lib, code: int) -> str:
    return (lib.tarvelin_code_text(code) or b"").decode("latin-1")


def _int32(value, what: str) -> int:
    # ctypes would cut a larger int to its low 32 bits without a word.
    value = operator.index(value)
    if not -(2**31) <= value < 2**31:
        raise ValueError(f"{what} {value} does not fit a 32-bit integer")
    return value


def _bytes(value: Union[str, bytes], what: str, encode: Callable[[str], bytes]) -> bytes:
    if isinstance(value, str):
        value = encode(value)
    if not isinstance(value, bytes):
        raise TypeError(f"the {what} is a str or bytes, not {type(value).__name__}")
    # The library reads up to the first NUL: the rest would go unseen.
    if b"\0" in value:
        raise ValueError(f"the {what} {value!r} holds a NUL")
    return value


def _device(port: Union[str, int, bytes]) -> bytes:
    if isinstance(port, int) and not isinstance(port, bool):
        port = str(port)
    # The library takes the system's 8-bit names: the ANSI code page on Windows.
    return _bytes(port, "port", (lambda name: name.encode("mbcs")) if os.name == "nt" else os.fsencode)


def _command(text: Union[str, bytes]) -> bytes:
    return _bytes(text, "command", lambda value: value.encode("latin-1"))


def _letter(port: Union[str, int]) -> int:
    return port_letter(port, lambda code: _int32(code, "port"))


def _mask(channels: Union[int, Iterable[int]]) -> int:
    return channel_mask(channels, lambda mask: _int32(mask, "channel mask"))


@contextlib.contextmanager
def _ctrl_c_cancels(raised: List[BaseException]):
    """Ctrl-C while the main thread samples: kept in ``raised``, which cancels the block.

    Python runs a signal's handler at the next statement of the main thread,
    which during a call is the first one of the progress callback, before any
    try in it; a KeyboardInterrupt raised there would be lost in ctypes (and
    the callback's result with it). So while the block runs, Ctrl-C only
    records itself, and is raised once the call is back. Other handlers than
    Python's own are left alone.
    """
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        yield
        return
    signal.signal(signal.SIGINT, lambda number, frame: raised.append(KeyboardInterrupt()))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, signal.default_int_handler)


class Board:
    """A board on a COM port or serial device, through its own handle.

    ``port`` is ``"COM3"``, ``"3"`` (or ``3``) or a device path such as
    ``"/dev/ttyUSB0"``; ``baud`` is the line rate (the board is not told of it:
    see :meth:`set_baud_rate`). ``library`` is the path of the library file
    (see :func:`tarvelin.native`). Every failure raises :class:`TarvelinError`
    with the code and the board's error text.

    Several boards run at once, and one board may be used from several
    threads: the library serves its calls one at a time. :meth:`close` (or the
    end of a ``with`` block) from another thread ends a waiting call with code
    38; :meth:`cancel` ends it with code 92.

    Example::

        with tarvelin.Board("COM3") as left, tarvelin.Board("COM4") as right:
            left.port_write("C", 17)
            print(right.port_read("B"), left.adc(10, 3))
    """

    def __init__(self, port: Union[str, int, bytes], baud: int = 9600, library: Optional[str] = None):
        self._lib = native(library)
        self._port = port
        self._baud = _int32(baud, "baud rate")
        self._handle = _board()
        self._closed = True
        # Pairs a failed call with the reading of its text (the library keeps it per thread as well).
        self._turn = threading.RLock()
        code = self._lib.tarvelin_open(_device(port), self._baud, ctypes.byref(self._handle))
        if code:
            buffer = ctypes.create_string_buffer(_TEXT_ROOM)
            # The reason of a failed open is kept for this thread, under no handle.
            self._lib.tarvelin_error_text(None, buffer, _TEXT_ROOM)
            raise TarvelinError(code, buffer.value.decode("latin-1") or _code_text(self._lib, code))
        self._closed = False

    def __enter__(self) -> "Board":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __del__(self) -> None:
        # A board dropped without close(): give the port back; nothing to report to.
        if not getattr(self, "_closed", True):
            self._closed = True
            self._lib.tarvelin_close(self._handle)

    def __repr__(self) -> str:
        return f"<tarvelin.Board {self._port!r} {self._baud} baud, {'closed' if self._closed else 'open'}>"

    def __getattr__(self, name: str):
        if name in _RENAMED:
            raise AttributeError(f"Board.{name} is Board.{_RENAMED[name]} now; tarvelin.ClassicBoard keeps the "
                                 f"classic names")
        raise AttributeError(f"'Board' object has no attribute {name!r}")

    @staticmethod
    def version(library: Optional[str] = None) -> str:
        """The library's version text, " Dorvik DLL version ..."."""
        return native(library).GetDLLVersion().decode("latin-1")

    @property
    def port(self) -> Union[str, int, bytes]:
        """The port as given to the constructor."""
        return self._port

    @property
    def baud(self) -> int:
        """The line rate: the one opened at, or the last one set."""
        return self._baud

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Closes the board; a call waiting on it (another thread) ends with code 38. A second close does nothing."""
        if not self._closed:
            self._closed = True
            self._raise_on(self._lib.tarvelin_close(self._handle))

    def cancel(self) -> None:
        """Ends the call in progress (from another thread or a progress callback) with code 92."""
        self._raise_on(self._lib.tarvelin_cancel(self._handle))

    # --- calls and errors

    def _raise_on(self, code: int) -> None:
        if code:
            buffer = ctypes.create_string_buffer(_TEXT_ROOM)
            text = b""
            # A closed handle has no text of its own; the code's fixed text stands in.
            if code != TARVELIN_E_BAD_HANDLE and self._lib.tarvelin_error_text(self._handle, buffer, _TEXT_ROOM) == 0:
                text = buffer.value
            raise TarvelinError(code, text.decode("latin-1") or _code_text(self._lib, code))

    def _call(self, function, *arguments) -> None:
        with self._turn:
            self._raise_on(function(self._handle, *arguments))

    def _value(self, function, *arguments) -> int:
        value = _i32()
        self._call(function, *arguments, ctypes.byref(value))
        return value.value

    # --- commands and the line

    def command(self, text: Union[str, bytes]) -> int:
        """Sends any command text (at most 62 characters); returns its answer's value (0 for an acknowledgement)."""
        return self._value(self._lib.tarvelin_command, _command(text))

    def set_baud_rate(self, baud: int) -> None:
        """Moves the board and the line to ``baud`` (300 .. 115200)."""
        baud = _int32(baud, "baud rate")
        self._call(self._lib.tarvelin_set_baud_rate, baud)
        self._baud = baud

    # --- digital ports

    def port_read(self, port: Union[str, int]) -> int:
        """The value of port A, B, C, D or S (either case)."""
        return self._value(self._lib.tarvelin_port_read, _letter(port))

    def port_write(self, port: Union[str, int], value: int) -> None:
        """Writes ``value`` (-1..255) to port A, B, C, D or S."""
        self._call(self._lib.tarvelin_port_write, _letter(port), _int32(value, "value"))

    # --- analog input

    def adc(self, resolution: int, channel: int) -> int:
        """One conversion at 8, 10 or 12 bits of channel 0..14 (0..11 at 8 bits)."""
        return self._value(self._lib.tarvelin_adc, _int32(resolution, "resolution"), _int32(channel, "channel"))

    def adc_m2(self, mode: int) -> int:
        """The 10-bit reading through port S, pattern ``mode`` 0 or 1."""
        return self._value(self._lib.tarvelin_adc_m2, _int32(mode, "mode"))

    def sample(self, resolution: int, channel_mask: Union[int, Iterable[int]], rate_code: int, sample_count: int,
               progress: Optional[Progress] = None, numpy: Optional[bool] = None):
        """Block sampling: ``sample_count`` values of each channel of ``channel_mask``.

        ``channel_mask`` is a mask (bit n: channel n, bits 0..10 counted) or a
        list of channels. Returns a numpy array of shape (channels, samples) when
        numpy is installed (``numpy=False`` asks for lists), else one list per
        channel, in ascending channel order.

        ``progress(received, total)`` is called as values arrive (at least every
        50 ms) and once the block is in; a true result cancels the sampling
        (:class:`TarvelinError` with code 92). An exception raised in it cancels
        too, and is raised again from here. Only :meth:`cancel` may be called on
        this board from inside it. With a progress bar, return nothing: tqdm's
        ``update`` returns True whenever it redraws, which would cancel::

            with tqdm(total=2 * 1000) as bar:
                def advance(received, total):
                    bar.update(received - bar.n)
                block = board.sample(10, 0b11, 5, 1000, progress=advance)
        """
        mask = _mask(channel_mask)
        sample_count = _int32(sample_count, "sample count")
        channels = block_channels(mask, sample_count)
        wanted = channels * sample_count
        buffer = (_i32 * wanted)()
        count = _i32()
        raised: List[BaseException] = []

        def report(_context, received, total):
            # Nothing may unwind through the library: an exception is kept and cancels the call.
            if raised:
                return 1
            try:
                return 1 if progress is not None and progress(received, total) else 0
            except BaseException as error:
                raised.append(error)
                return 1

        # Called also without a progress: it is where Ctrl-C reaches a long block (see _ctrl_c_cancels).
        callback = PROGRESS(report)
        try:
            with _ctrl_c_cancels(raised):
                self._call(self._lib.tarvelin_sample, _int32(resolution, "resolution"), mask,
                           _int32(rate_code, "rate code"), sample_count, buffer, wanted, callback, None,
                           ctypes.byref(count))
        except TarvelinError:
            if raised:
                raise raised[0] from None
            raise
        if raised:
            raise raised[0]
        return by_channel(buffer, sample_count, channels, numpy)

    # --- stepper motor

    def motor_go(self, first: Union[str, int], second: Union[str, int], n1: int, n2: int, n3: int, n4: int) -> None:
        """Starts a motion: "S", the two characters and the four numbers."""
        self._call(self._lib.tarvelin_motor_go, _letter(first), _letter(second), *(
            _int32(number, "number") for number in (n1, n2, n3, n4)))

    def motor_stop(self) -> None:
        self._call(self._lib.tarvelin_motor_stop)

    def motor_counter_reset(self) -> None:
        self._call(self._lib.tarvelin_motor_counter_reset)

    def motor_counter(self) -> int:
        return self._value(self._lib.tarvelin_motor_counter)

    def motor_flag(self) -> int:
        return self._value(self._lib.tarvelin_motor_flag)

    def motor_disable(self) -> int:
        """Disables the motor; returns the value of the board's answer."""
        return self._value(self._lib.tarvelin_motor_disable)

    # --- PWM, period and the board's events

    def pwm_set(self, frequency: int, duty_cycle: int, pulses: int) -> None:
        """Starts the PWM: frequency 15..15000, duty cycle 0..100, pulses 0..16000000."""
        self._call(self._lib.tarvelin_pwm_set, _int32(frequency, "frequency"), _int32(duty_cycle, "duty cycle"),
                   _int32(pulses, "pulses"))

    def pwm_counter(self) -> int:
        """The pulses put out in the current run."""
        return self._value(self._lib.tarvelin_pwm_counter)

    def pwm_finished(self) -> bool:
        """Whether a PWM run ended since the last look (and clears it); sends nothing."""
        return self._value(self._lib.tarvelin_pwm_finished) == 1

    def limit_event(self) -> bool:
        """Whether the limit event came since the last look (and clears it); sends nothing."""
        return self._value(self._lib.tarvelin_limit_event) == 1

    def period(self) -> int:
        return self._value(self._lib.tarvelin_period)

    # --- I/O-485 network

    def io485_initialize(self) -> None:
        self._call(self._lib.tarvelin_io485_initialize)

    def io485_reset(self) -> int:
        """Resets the network at 9600 baud; returns the result of the initialization it ends with."""
        value = self._value(self._lib.tarvelin_io485_reset)
        self._baud = 9600
        return value

    def io485_address(self, address: int, selector: int, broadcast: bool = False) -> None:
        """Selects module ``address`` 0..31 behind IC ``selector`` 0..3."""
        self._call(self._lib.tarvelin_io485_address, _int32(address, "address"), _int32(selector, "selector"),
                   1 if broadcast else 0)

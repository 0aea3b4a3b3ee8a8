"""Python binding of the TARVELIN driver library for the I/O controller board.

Example::

    import tarvelin

    with tarvelin.Board(3) as board:          # COM3; closed again at the end
        board.write_port("C", 17)
        print(board.read_port("B"))
        a, b = board.sample(resolution=10, channels=[0, 1], rate_code=2, samples=100)

Every call that fails raises :class:`TarvelinError` with the library's error
code and text. Only the standard library is needed; :meth:`Board.sample`
returns a numpy array when numpy is installed.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from typing import Iterable, List, Optional, Union

from . import errors
from .errors import TarvelinError

__all__ = ["Board", "TarvelinError", "errors", "load", "native", "SIGNATURES"]

_i32 = ctypes.c_int32
_text = ctypes.c_char_p

# Every export: result type and argument types, as include/tarvelin.h declares them.
# --- generated from src/exports/exports.tab by scripts/gen_declarations.py: do not edit ---
SIGNATURES = {
    "PortClose": (_i32, []),
    "PortConfigure": (_i32, [_i32, _i32]),
    "PortOpen": (_i32, [_i32]),
    "ChangeBaudRate": (_i32, [_i32]),
    "WriteCommand": (_i32, [_text]),
    "GetErrorMessageVb": (_i32, [ctypes.c_char_p]),
    "GetBaudRate": (_i32, []),
    "GetError": (_i32, []),
    "GetErrorMessage": (_text, []),
    "GetPort": (_i32, []),
    "GetValue": (_i32, []),
    "IntStatusL": (_i32, []),
    "GetPWMFinishFlag": (_i32, []),
    "SetPWMFrequency": (_i32, [_i32, _i32, _i32]),
    "IOPortWrite": (_i32, [_i32, _i32]),
    "ADCAnalog": (_i32, [_i32, _i32]),
    "IOPortRead": (_i32, [_i32]),
    "ADCAnalogSampling": (_i32, [_i32, _i32, _i32, _i32, _i32, ctypes.POINTER(_i32)]),
    "MotorGo": (_i32, [_i32, _i32, _i32, _i32, _i32, _i32]),
    "MotorStop": (_i32, []),
    "MotorCounterReset": (_i32, []),
    "GetMotorCounter": (_i32, []),
    "GetDLLVersion": (_text, []),
    "GetMotorFlag": (_i32, []),
    "DisableMotor": (_i32, []),
    "ResetIO485Network": (_i32, []),
    "IO485Initialize": (_i32, []),
    "IO485Address": (_i32, [_i32, _i32, _i32]),
    "GetPeriod": (_i32, []),
    # The safe array is Visual Basic's; from Python use ADCAnalogSampling.
    "ADCAnalogSamplingVb": (_i32, [_i32, _i32, _i32, _i32, _i32, ctypes.c_void_p]),
    "GetPWMOutputCounter": (_i32, []),
    "GetDLLVersionVb": (_i32, [ctypes.c_char_p]),
    "ReadADCM2": (_i32, [_i32]),
}
# --- end of generated declarations ---

# Block sampling counts bits 0..10 of the mask: at most 11 channels.
CHANNELS = 11
_MAX_VALUES = 720896

_loaded = {}
_lock = threading.Lock()


def _default_names() -> List[str]:
    names = ["libtarvelin.so.3"]
    found = ctypes.util.find_library("tarvelin")
    if found:
        names.append(found)
    return names


# Folders added with os.add_dll_directory stay added while their handle lives.
_dll_directories = []


def _windows_places(environ, package_dir: str, pointer_bits: int) -> List[str]:
    """Where TARVELIN.DLL is looked for on Windows, in order.

    Python 3.8 and later no longer search PATH for a DLL loaded by name, so
    every folder is tried by full path: the one TARVELIN_LIBRARY names (or the
    folder of the file it names), beside this package, the package's width
    folder when it runs from the unpacked Windows package (x64 or x86 beside
    bindings), then each folder on PATH.
    """
    places = []
    named = environ.get("TARVELIN_LIBRARY")
    if named:
        places.append(os.path.join(named, "TARVELIN.DLL") if os.path.isdir(named) else named)
    places.append(os.path.join(package_dir, "TARVELIN.DLL"))
    width = "x64" if pointer_bits == 64 else "x86"
    places.append(os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(package_dir))), width,
                               "TARVELIN.DLL"))
    for folder in environ.get("PATH", "").split(os.pathsep):
        if folder.strip():
            places.append(os.path.join(folder.strip().strip('"'), "TARVELIN.DLL"))
    return places


def _load_windows(environ, package_dir: str, pointer_bits: int, loader, add_dll_directory):
    """Loads the first TARVELIN.DLL of _windows_places that loads; OSError naming every place otherwise."""
    looked = []
    for place in _windows_places(environ, package_dir, pointer_bits):
        if not os.path.isfile(place):
            looked.append(f"{place}: not there")
            continue
        folder = os.path.dirname(os.path.abspath(place))
        try:
            handle = add_dll_directory(folder)
            lib = loader(os.path.abspath(place))
        except OSError as error:
            # Error 193: the DLL of the other width (a 32-bit DLL in 64-bit Python, or the reverse).
            looked.append(f"{place}: {error}")
            continue
        _dll_directories.append(handle)
        return lib
    raise OSError(f"cannot load TARVELIN.DLL for this {pointer_bits}-bit Python "
                  f"({'x64' if pointer_bits == 64 else 'x86'} folder of the package); looked at: "
                  + "; ".join(looked)
                  + ". Set TARVELIN_LIBRARY to the DLL or its folder, or pass its path to tarvelin.load()")


def native(path: Optional[str] = None):
    """The library itself, every function with its argument and result types.

    ``path`` (or the environment variable ``TARVELIN_LIBRARY``) names the file;
    otherwise ``libtarvelin.so.3`` is found by the system's search, and on
    Windows ``TARVELIN.DLL`` beside this package, in the unpacked package's
    ``x64`` or ``x86`` folder, or in a folder on PATH. On Windows the functions
    are called with the stdcall convention.
    """
    with _lock:
        key = path or os.environ.get("TARVELIN_LIBRARY") or ""
        if key in _loaded:
            return _loaded[key]
        if os.name == "nt" and not path:
            package_dir = os.path.dirname(os.path.abspath(__file__))
            lib = _load_windows(os.environ, package_dir, ctypes.sizeof(ctypes.c_void_p) * 8, ctypes.WinDLL,
                                os.add_dll_directory)
        else:
            loader = ctypes.WinDLL if os.name == "nt" else ctypes.CDLL
            problems = []
            lib = None
            for name in [key] if key else _default_names():
                try:
                    lib = loader(name)
                    break
                except OSError as error:
                    problems.append(f"{name}: {error}")
            if lib is None:
                raise OSError("cannot load the TARVELIN library (set TARVELIN_LIBRARY or pass its path): "
                              + "; ".join(problems))
        for name, (result, arguments) in SIGNATURES.items():
            function = getattr(lib, name)
            function.restype = result
            function.argtypes = arguments
        _loaded[key] = lib
        return lib


load = native


def _letter(port: Union[str, int]) -> int:
    if isinstance(port, str):
        if len(port) != 1:
            raise ValueError(f"a port is one letter (A, B, C, D, S), not {port!r}")
        return ord(port)
    return int(port)


def _mask(channels: Union[int, Iterable[int]]) -> int:
    if isinstance(channels, int):
        return channels
    mask = 0
    for channel in channels:
        if not 0 <= channel < CHANNELS:
            raise ValueError(f"block sampling takes channels 0..{CHANNELS - 1}, not {channel}")
        mask |= 1 << channel
    return mask


class Board:
    """The board on one COM port, opened on construction and closed by
    :meth:`close` or at the end of a ``with`` block.

    ``Board(3)`` opens COM3 at 9600 baud; ``Board(3, baud_rate=19200)`` opens it
    at another rate. ``library`` is the path of the library file (see
    :func:`native`). The library serves one port at a time: a second Board
    takes the port over from the first.
    """

    def __init__(self, port: int, baud_rate: Optional[int] = None, library: Optional[str] = None):
        self.lib = native(library)
        self._open = False
        if baud_rate is None:
            self._check(self.lib.PortOpen(port))
        else:
            self._check(self.lib.PortConfigure(port, baud_rate))
        self._open = True

    def __enter__(self) -> "Board":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "open" if self._open else "closed"
        return f"<tarvelin.Board COM{self.port} {self.baud_rate} baud, {state}>"

    def close(self) -> None:
        """Closes the port; a second call does nothing."""
        if self._open:
            self._open = False
            self._check(self.lib.PortClose())

    # --- results and errors

    @property
    def error(self) -> int:
        """The code of the last recorded error (-1: none)."""
        return self.lib.GetError()

    @property
    def error_text(self) -> str:
        """The text of the last recorded error."""
        return (self.lib.GetErrorMessage() or b"").decode("latin-1")

    def _fail(self) -> TarvelinError:
        return TarvelinError(self.error, self.error_text)

    def _check(self, result: int) -> int:
        """For the calls that return 1 or -1."""
        if result == -1:
            raise self._fail()
        return result

    def _value(self, result: int) -> int:
        """For the calls that return a value: -1 is a failure only when an error
        was recorded, since the transaction resets the code to -1 on success."""
        if result == -1 and self.error != errors.TARVELIN_E_NONE:
            raise self._fail()
        return result

    # --- connection

    @property
    def port(self) -> int:
        return self.lib.GetPort()

    @property
    def baud_rate(self) -> int:
        return self.lib.GetBaudRate()

    def change_baud_rate(self, baud_rate: int) -> None:
        """Moves the board and the port to ``baud_rate`` (300 .. 115200)."""
        self._check(self.lib.ChangeBaudRate(baud_rate))

    @staticmethod
    def version(library: Optional[str] = None) -> str:
        """The library's version text, " Dorvik DLL version ..."."""
        return native(library).GetDLLVersion().decode("latin-1")

    # --- commands

    def command(self, text: str) -> int:
        """Sends any command text (at most 62 characters); returns the answer's value."""
        self._check(self.lib.WriteCommand(text.encode("latin-1")))
        return self.lib.GetValue()

    @property
    def value(self) -> int:
        """The value of the last answer."""
        return self.lib.GetValue()

    def limit_event(self) -> bool:
        """Whether the limit event came since the last call (and clears it)."""
        return self.lib.IntStatusL() == 1

    # --- digital ports

    def read_port(self, port: Union[str, int]) -> int:
        """The value of port A, B, C, D or S."""
        return self._value(self.lib.IOPortRead(_letter(port)))

    def write_port(self, port: Union[str, int], value: int) -> None:
        """Writes ``value`` (-1..255) to port A, B, C, D or S."""
        self._check(self.lib.IOPortWrite(_letter(port), value))

    # --- analog input

    def adc(self, resolution: int, channel: int) -> int:
        """One conversion at 8, 10 or 12 bits of channel 0..14 (0..11 at 8 bits)."""
        return self._value(self.lib.ADCAnalog(resolution, channel))

    def read_adc_m2(self, mode: int) -> int:
        """The 10-bit reading through port S, pattern ``mode`` 0 or 1."""
        return self._value(self.lib.ReadADCM2(mode))

    def sample(self, resolution: int, channels: Union[int, Iterable[int]], rate_code: int, samples: int,
               g_option: bool = False, numpy: Optional[bool] = None):
        """Block sampling: ``samples`` values of each channel.

        ``channels`` is a list of channel numbers 0..10 or a mask (bit n: channel
        n). Returns one list per channel, in ascending channel order, or a numpy
        array of shape (channels, samples) when numpy is installed (``numpy=False``
        asks for lists). The library shows the sampling command in a message box
        before it sends it (on Linux, a line on standard error).
        """
        mask = _mask(channels)
        count = bin(mask & ((1 << CHANNELS) - 1)).count("1")
        if samples <= 0 or count == 0:
            raise ValueError("block sampling needs at least one channel and one sample")
        if count * samples > _MAX_VALUES:
            raise ValueError(f"at most {_MAX_VALUES} values in one block, not {count * samples}")
        buffer = (_i32 * (count * samples))()
        self._check(self.lib.ADCAnalogSampling(resolution, mask, rate_code, samples, 1 if g_option else 0, buffer))
        # The board sends the channels of one sample after another.
        if numpy is not False:
            try:
                import numpy as np
            except ImportError:
                if numpy:
                    raise
            else:
                return np.frombuffer(buffer, dtype=np.int32).reshape(samples, count).T.copy()
        values = list(buffer)
        return [values[i::count] for i in range(count)]

    # --- stepper motor

    def motor_go(self, first: str, second: str, n1: int, n2: int, n3: int, n4: int) -> None:
        """Starts a motion: "S", the two characters and the four numbers."""
        self._check(self.lib.MotorGo(_letter(first), _letter(second), n1, n2, n3, n4))

    def motor_stop(self) -> None:
        self._check(self.lib.MotorStop())

    def motor_counter_reset(self) -> None:
        self._check(self.lib.MotorCounterReset())

    def motor_counter(self) -> int:
        return self._value(self.lib.GetMotorCounter())

    def motor_flag(self) -> int:
        return self._value(self.lib.GetMotorFlag())

    def disable_motor(self) -> int:
        """Disables the motor; returns the value of the board's answer."""
        return self._value(self.lib.DisableMotor())

    # --- PWM and period

    def set_pwm(self, frequency: int, duty_cycle: int, pulses: int) -> None:
        """Starts the PWM: frequency 15..15000, duty cycle 0..100, pulses 0..16000000."""
        self._check(self.lib.SetPWMFrequency(frequency, duty_cycle, pulses))

    def pwm_output_counter(self) -> int:
        return self._value(self.lib.GetPWMOutputCounter())

    def pwm_finished(self) -> bool:
        """Whether a PWM run ended since the last call (and clears it)."""
        return self.lib.GetPWMFinishFlag() == 1

    def period(self) -> int:
        return self._value(self.lib.GetPeriod())

    # --- I/O-485 network

    def io485_address(self, address: int, selector: int, broadcast: bool = False) -> None:
        """Selects module ``address`` 0..31 behind IC ``selector`` 0..3."""
        self._check(self.lib.IO485Address(address, selector, 1 if broadcast else 0))

    def io485_initialize(self) -> None:
        self._check(self.lib.IO485Initialize())

    def reset_io485_network(self) -> None:
        self._check(self.lib.ResetIO485Network())


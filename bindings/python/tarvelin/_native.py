"""The library loaded with ctypes: every export with its argument and result
types, and the search for the library file; and the ports, channels and blocks
as both board classes take them."""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from typing import Callable, List, Optional

_i32 = ctypes.c_int32
_text = ctypes.c_char_p
# A board of the handle API: an opaque pointer.
_board = ctypes.c_void_p
# tarvelin_progress: the library's calling convention, stdcall on Windows (as WinDLL loads it).
PROGRESS = (ctypes.WINFUNCTYPE if os.name == "nt" else ctypes.CFUNCTYPE)(_i32, ctypes.c_void_p, _i32, _i32)

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
    "tarvelin_open": (_i32, [_text, _i32, ctypes.POINTER(_board)]),
    "tarvelin_close": (_i32, [_board]),
    "tarvelin_cancel": (_i32, [_board]),
    "tarvelin_error_text": (_i32, [_board, ctypes.c_char_p, _i32]),
    "tarvelin_code_text": (_text, [_i32]),
    "tarvelin_command": (_i32, [_board, _text, ctypes.POINTER(_i32)]),
    "tarvelin_set_baud_rate": (_i32, [_board, _i32]),
    "tarvelin_port_read": (_i32, [_board, _i32, ctypes.POINTER(_i32)]),
    "tarvelin_port_write": (_i32, [_board, _i32, _i32]),
    "tarvelin_adc": (_i32, [_board, _i32, _i32, ctypes.POINTER(_i32)]),
    "tarvelin_adc_m2": (_i32, [_board, _i32, ctypes.POINTER(_i32)]),
    "tarvelin_sample": (_i32, [_board, _i32, _i32, _i32, _i32, ctypes.POINTER(_i32), _i32, PROGRESS, ctypes.c_void_p, ctypes.POINTER(_i32)]),
    "tarvelin_motor_go": (_i32, [_board, _i32, _i32, _i32, _i32, _i32, _i32]),
    "tarvelin_motor_stop": (_i32, [_board]),
    "tarvelin_motor_counter_reset": (_i32, [_board]),
    "tarvelin_motor_counter": (_i32, [_board, ctypes.POINTER(_i32)]),
    "tarvelin_motor_flag": (_i32, [_board, ctypes.POINTER(_i32)]),
    "tarvelin_motor_disable": (_i32, [_board, ctypes.POINTER(_i32)]),
    "tarvelin_pwm_set": (_i32, [_board, _i32, _i32, _i32]),
    "tarvelin_pwm_counter": (_i32, [_board, ctypes.POINTER(_i32)]),
    "tarvelin_pwm_finished": (_i32, [_board, ctypes.POINTER(_i32)]),
    "tarvelin_limit_event": (_i32, [_board, ctypes.POINTER(_i32)]),
    "tarvelin_period": (_i32, [_board, ctypes.POINTER(_i32)]),
    "tarvelin_io485_initialize": (_i32, [_board]),
    "tarvelin_io485_reset": (_i32, [_board, ctypes.POINTER(_i32)]),
    "tarvelin_io485_address": (_i32, [_board, _i32, _i32, _i32]),
}
# --- end of generated declarations ---

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


# Block sampling counts bits 0..10 of the mask: at most 11 channels.
CHANNELS = 11
# The largest block the library takes: 11 channels x 65,536 samples.
MAX_VALUES = 720896


def port_letter(port, number: Callable[[object], int]) -> int:
    """A port given as its letter or its code; ``number`` takes the code."""
    if isinstance(port, str):
        if len(port) != 1:
            raise ValueError(f"a port is one letter (A, B, C, D, S), not {port!r}")
        return ord(port)
    return number(port)


def channel_mask(channels, number: Callable[[object], int]) -> int:
    """A mask given as such (``number`` takes it) or as channel numbers 0..10."""
    if isinstance(channels, int):
        return number(channels)
    mask = 0
    for channel in channels:
        if not 0 <= channel < CHANNELS:
            raise ValueError(f"block sampling takes channels 0..{CHANNELS - 1}, not {channel}")
        mask |= 1 << channel
    return mask


def block_channels(mask: int, samples: int) -> int:
    """The channels a block counts of ``mask``; an empty or oversized block is refused."""
    channels = bin(mask & ((1 << CHANNELS) - 1)).count("1")
    if samples <= 0 or channels == 0:
        raise ValueError("block sampling needs at least one channel and one sample")
    if channels * samples > MAX_VALUES:
        raise ValueError(f"at most {MAX_VALUES} values in one block, not {channels * samples}")
    return channels


def by_channel(buffer, samples: int, channels: int, numpy: Optional[bool]):
    """A block as the board sends it (the channels of one sample after another),
    split by channel: a numpy array of shape (channels, samples) when numpy is
    installed and not refused (``numpy=False``), else one list per channel."""
    if numpy is not False:
        try:
            import numpy as np
        except ImportError:
            if numpy:
                raise
        else:
            return np.frombuffer(buffer, dtype=np.int32).reshape(samples, channels).T.copy()
    values = list(buffer)
    return [values[i::channels] for i in range(channels)]

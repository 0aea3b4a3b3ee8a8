"""The classic wrapper: the board of the library's classic exports, one port
per process (PortOpen ... PortClose). :class:`tarvelin.Board` drives several
boards at once through the handle API; this class stays for programs written
against it."""
from __future__ import annotations

from typing import Iterable, Optional, Union

from . import errors
from ._native import _i32, block_channels, by_channel, channel_mask, native, port_letter
from .errors import TarvelinError


def _letter(port: Union[str, int]) -> int:
    return port_letter(port, int)


def _mask(channels: Union[int, Iterable[int]]) -> int:
    return channel_mask(channels, lambda mask: mask)


class ClassicBoard:
    """The board on one COM port, opened on construction and closed by
    :meth:`close` or at the end of a ``with`` block.

    ``ClassicBoard(3)`` opens COM3 at 9600 baud; ``ClassicBoard(3, baud_rate=19200)`` opens it
    at another rate. ``library`` is the path of the library file (see
    :func:`native`). The library serves one port at a time: a second ClassicBoard
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

    def __enter__(self) -> "ClassicBoard":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "open" if self._open else "closed"
        return f"<tarvelin.ClassicBoard COM{self.port} {self.baud_rate} baud, {state}>"

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
        count = block_channels(mask, samples)
        buffer = (_i32 * (count * samples))()
        self._check(self.lib.ADCAnalogSampling(resolution, mask, rate_code, samples, 1 if g_option else 0, buffer))
        return by_channel(buffer, samples, count, numpy)

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

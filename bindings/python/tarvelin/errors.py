"""The library's error codes (GetError) and the exception that carries them.

The names and values are those of include/tarvelin.h. Codes 1 to 15 are the
board's refusals; several names share a value where the library uses one code
in several families, and the text tells them apart.
"""

# --- error codes of include/tarvelin.h (scripts/sync_error_constants.py)
TARVELIN_E_NONE = -1  # No error: the state every command transaction starts from.
TARVELIN_E_DEVICE_SYNTAX = 1  # Board: "Command Error: Syntax error (command = ...)".
TARVELIN_E_DEVICE_NOT_CONFIGURED = 2  # Board: port must be configured or enabled first.
TARVELIN_E_DEVICE_NOT_ALLOWED = 3  # Board: command not allowed in the current configuration.
TARVELIN_E_DEVICE_NO_SUCH_PORT = 4  # Board: no such port.
TARVELIN_E_DEVICE_VALUE_RANGE = 5  # Board: value out of range or syntax error.
TARVELIN_E_DEVICE_PIN_IS_OUTPUT = 6  # Board: pin configured as an output.
TARVELIN_E_DEVICE_TIMEOUT = 7  # Board: its own time-out.
TARVELIN_E_DEVICE_FREQUENCY = 8  # Board: frequency too high for the required duty cycle.
TARVELIN_E_DEVICE_BAUD_RATE = 9  # Board: baud rate not supported.
TARVELIN_E_DEVICE_STEPPER_ENABLED = 10  # Board: stepper enabled, disable it first.
TARVELIN_E_DEVICE_SPI_PIN = 11  # Board: SPI requires pin PD3/PS_SS always high.
TARVELIN_E_DEVICE_TIMER = 12  # Board: timer not available.
TARVELIN_E_DEVICE_STEPPER_DISABLED = 13  # Board: stepper motor not enabled.
TARVELIN_E_DEVICE_STEPPER_RUNNING = 14  # Board: stepper running, stop it first.
TARVELIN_E_DEVICE_TOO_MANY_CHANNELS = 15  # Board: too many channels or sampling too fast.
TARVELIN_E_NO_SUCH_PORT = 4  # "No such port": IOPortRead() with a letter other than A, B, C, D, S.
TARVELIN_E_NO_PORT_OPEN = 25  # "Commands cannot be sent before a COM port is open".
TARVELIN_E_TIMEOUT = 26  # "COM port timed out": no prompt in time (the text names the command).
TARVELIN_E_COMMAND_TEXT = 27  # "Command text is missing or longer than 62 characters".
TARVELIN_E_SAMPLE_ARRAY = 28  # The array for the sampled values is missing or unusable.
TARVELIN_E_VALUE_RANGE = 29  # "Returned value out of range": ADCAnalog().
TARVELIN_E_IO485_ADDRESS = 30  # "I/O-485 address out of range (0..31)".
TARVELIN_E_IO485_SELECTOR = 31  # "I/O-485 IC out of range (0, 1 or 3 {or BROAD})".
TARVELIN_E_IO485_BROADCAST = 32  # "I/O-485 Broadcast parameter must be True or False".
TARVELIN_E_MALFORMED_ANSWER = 33  # "?" followed by no device error digit: the text names the answer and the command.
TARVELIN_E_MOTOR_CHARACTERS = 34  # MotorGo(): a command character that is not printable (nothing sent).
TARVELIN_E_PORT_NOT_OPEN = 35  # "COM port is NOT open": PortClose() with no port open.
TARVELIN_E_OPEN_FAILED = 36  # "Unable to open COM port".
TARVELIN_E_CALL_REFUSED = 37  # Called from a window procedure while this thread's call waits for the board.
TARVELIN_E_CLOSED_WHILE_WAITING = 38  # The port was closed (another thread, a window procedure) while the call waited.
TARVELIN_E_LINE_GONE = 39  # "COM port is no longer available": device removed or line hung up.
TARVELIN_E_NOT_A_VALUE = 40  # An answer or a sampled record that is not a value (noise, a control character, too long): the text quotes it and names the command.
TARVELIN_E_INPUT_LOST = 41  # The driver reported lost received characters (overrun) during the call: the text names the command.
TARVELIN_E_WRONG_CHANNEL = 50  # " Wrong Channel  ": ADCAnalog() at 8 bits, channel 12..14.
TARVELIN_E_IO485_COMMUNICATION = 50  # I/O-485 initialization or reset failed (three texts).
TARVELIN_E_RESOLUTION = 60  # "Resolution must be 8, 10 or 12 [bits]": ADCAnalog().
TARVELIN_E_SAMPLE_COUNT = 60  # "Wrong Number of Samples ": block sampling.
TARVELIN_E_PWM_FREQUENCY = 60  # " Error in setting PWM's frequency".
TARVELIN_E_CHANNEL_RANGE = 61  # "Channel must be between 0 and 14 ": ADCAnalog().
TARVELIN_E_SAMPLING_RESOLUTION = 61  # "Wrong ADC Resolution": block sampling.
TARVELIN_E_PWM_DUTY_CYCLE = 61  # " Error in setting PWM's Duty Cycle".
TARVELIN_E_PWM_PULSES = 62  # " Error in setting  PWM's Pulses".
TARVELIN_E_BAUD_RATE = 77  # The board did not take, or not keep, a new baud rate (two texts).
TARVELIN_E_PORT_VALUE = 80  # " Value is out of range. The Value needs to be 0 < Value <256  ".
TARVELIN_E_WRONG_PORT = 81  # "Wrong Port selected": IOPortWrite().
TARVELIN_E_BAD_HANDLE = 90  # Handle API: "Not an open board handle" (NULL, closed, or not one of this library's).
TARVELIN_E_BAD_ARGUMENT = 91  # Handle API: "Missing or unusable argument" (a NULL result pointer, a buffer of no room).
TARVELIN_E_CANCELLED = 92  # Handle API: "Call cancelled" by tarvelin_cancel() or a progress callback.
# --- end of the error codes


class TarvelinError(Exception):
    """A failed call: ``code`` is the library's error code, ``text`` its text."""

    def __init__(self, code: int, text: str):
        super().__init__(code, text)
        self.code = code
        self.text = text

    def __str__(self) -> str:
        return f"error {self.code}: {self.text.strip()}" if self.text.strip() else f"error {self.code}"

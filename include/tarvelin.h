/* TARVELIN: driver library for the I/O controller board on a serial COM port.
 *
 * Every function uses the Windows API calling convention on Windows (the callee
 * removes the arguments; every argument is one 32-bit slot) and plain C linkage
 * elsewhere. Results: 1 or the value read on success, -1 on failure; the reason
 * of a failure is read with GetError and GetErrorMessage. */
#ifndef TARVELIN_H
#define TARVELIN_H

#include <stdint.h>

/**
 * @defgroup tarvelin TARVELIN driver library
 * @brief Drives the I/O controller board on a serial COM port: analog inputs,
 * digital ports, stepper motor, PWM output and period, the I/O-485 network.
 *
 * @par Calls and results
 * One port is open at a time. Every call turns into one or more short ASCII
 * commands, each sent with a carriage return; the board's answer ends with the
 * prompt ">". A call returns 1 (or the value read) on success and -1 on
 * failure; GetError() and GetErrorMessage() then give the code and the text of
 * the failure. The codes are the TARVELIN_E_... constants below; a code may be
 * recorded with several texts (50, 60, 61, 77), and the text tells them apart.
 *
 * @par The command transaction
 * Every command that expects an answer is run the same way: the error state is
 * reset (code -1, empty text); with no open port the call fails with
 * #TARVELIN_E_NO_PORT_OPEN (25) and sends nothing; a command text of more
 * than 62 characters fails with #TARVELIN_E_COMMAND_TEXT (27). The line is
 * sent and the call waits up to 200 ms for the prompt; if it is late, a lone
 * carriage return and the command are sent again and the call waits twice
 * more, so about 600 ms in all before it fails with #TARVELIN_E_TIMEOUT (26),
 * " Error Command: COM port timed out (command = ...)". An answer "?" and a
 * hexadecimal digit is a device error, codes 1 to 15 (#TARVELIN_E_DEVICE_SYNTAX
 * .. #TARVELIN_E_DEVICE_TOO_MANY_CHANNELS) with a text that names the command,
 * e.g. " Command Error: Time out error (command = PRA)"; "?" and any other
 * character is #TARVELIN_E_MALFORMED_ANSWER (33). Otherwise the answer's
 * value (from its third character; from its first in the I/O-485 answer mode)
 * is kept for GetValue(); a "P" (the PWM's end event) ahead of the answer's
 * first line break is not part of it. The value text must be blanks, an
 * optional sign, digits and blanks, and the whole answer printable: noise, a
 * NUL or another control character, or an answer longer than 99 characters
 * (or than the answer text holds) fails with #TARVELIN_E_NOT_A_VALUE (40),
 * whose text quotes the answer and names the command. Two characters and the
 * prompt are the value 0. Received characters that the driver reports lost
 * (an overrun) during the call fail it with #TARVELIN_E_INPUT_LOST (41). Answers still owed to earlier command
 * lines (a resent line, a command that timed out) are let in and dropped
 * before the line is sent, for at most 1 s after the line that owes them.
 * Below, "errors of the transaction" means 25, 26, 27, 33, 37, 38, 39, 40, 41
 * and 1 to 15.
 *
 * @par Threads
 * Calls from several threads are served one at a time. A call made from a
 * window procedure that the library runs while it waits (sampling with the
 * G option) is refused with #TARVELIN_E_CALL_REFUSED (37), not run inside the
 * waiting one; PortClose() is the exception and ends the waiting call with
 * #TARVELIN_E_CLOSED_WHILE_WAITING (38), as a close or open from another
 * thread does; a PortClose() nested in a close (a second click) fails with
 * #TARVELIN_E_PORT_NOT_OPEN (35). The waiting call counts as the library's
 * own message pumping from its start (messages sent to the thread included),
 * and a refused call leaves the waiting call's error state as it was. A write
 * the line does not take is given up after about 600 ms (more at low rates),
 * at once when a close waits. Once the line is gone (a USB adapter pulled out) the waiting
 * call and every later command fail at once with #TARVELIN_E_LINE_GONE (39)
 * until PortClose(). The getters (GetError(), GetErrorMessage(),
 * GetErrorMessageVb(), GetValue(), GetPort(), GetBaudRate(), the versions,
 * IntStatusL(), GetPWMFinishFlag()) never wait for a call in progress.
 *
 * @par On Linux
 * COMn is the device named by the environment variable TARVELIN_COM<n> when it
 * is set, otherwise /dev/ttyS<n-1>. A message box is one line on standard
 * error; TARVELIN_DEBUG=1 sends the library's debugger output there too.
 * @{
 */

#if defined(_WIN32)
/** The calling convention of every function: __stdcall on Windows. */
#define TARVELIN_CALL __stdcall
/** Marks the exported functions when the library itself is built. */
#define TARVELIN_API
#elif defined(TARVELIN_BUILD)
#define TARVELIN_CALL
#define TARVELIN_API __attribute__((visibility("default")))
#else
#define TARVELIN_CALL
#define TARVELIN_API
#endif

/** @name Error codes
 * The values of GetError(). Codes 1 to 15 are the board's own refusals; the
 * others are the library's. Several names share a value where the library uses
 * one code in several families (4, 50, 60, 61); GetErrorMessage() tells them
 * apart.
 * @{ */
/* A new code: one line here, then python3 scripts/sync_error_constants.py
 * writes it into the bindings. */
#define TARVELIN_E_NONE (-1)                    /**< No error: the state every command transaction starts from. */
#define TARVELIN_E_DEVICE_SYNTAX 1              /**< Board: "Command Error: Syntax error (command = ...)". */
#define TARVELIN_E_DEVICE_NOT_CONFIGURED 2      /**< Board: port must be configured or enabled first. */
#define TARVELIN_E_DEVICE_NOT_ALLOWED 3         /**< Board: command not allowed in the current configuration. */
#define TARVELIN_E_DEVICE_NO_SUCH_PORT 4        /**< Board: no such port. */
#define TARVELIN_E_DEVICE_VALUE_RANGE 5         /**< Board: value out of range or syntax error. */
#define TARVELIN_E_DEVICE_PIN_IS_OUTPUT 6       /**< Board: pin configured as an output. */
#define TARVELIN_E_DEVICE_TIMEOUT 7             /**< Board: its own time-out. */
#define TARVELIN_E_DEVICE_FREQUENCY 8           /**< Board: frequency too high for the required duty cycle. */
#define TARVELIN_E_DEVICE_BAUD_RATE 9           /**< Board: baud rate not supported. */
#define TARVELIN_E_DEVICE_STEPPER_ENABLED 10    /**< Board: stepper enabled, disable it first. */
#define TARVELIN_E_DEVICE_SPI_PIN 11            /**< Board: SPI requires pin PD3/PS_SS always high. */
#define TARVELIN_E_DEVICE_TIMER 12              /**< Board: timer not available. */
#define TARVELIN_E_DEVICE_STEPPER_DISABLED 13   /**< Board: stepper motor not enabled. */
#define TARVELIN_E_DEVICE_STEPPER_RUNNING 14    /**< Board: stepper running, stop it first. */
#define TARVELIN_E_DEVICE_TOO_MANY_CHANNELS 15  /**< Board: too many channels or sampling too fast. */
#define TARVELIN_E_NO_SUCH_PORT 4               /**< "No such port": IOPortRead() with a letter other than A, B, C, D, S. */
#define TARVELIN_E_NO_PORT_OPEN 25              /**< "Commands cannot be sent before a COM port is open". */
#define TARVELIN_E_TIMEOUT 26                   /**< "COM port timed out": no prompt in time (the text names the command). */
#define TARVELIN_E_COMMAND_TEXT 27              /**< "Command text is missing or longer than 62 characters". */
#define TARVELIN_E_SAMPLE_ARRAY 28              /**< The array for the sampled values is missing or unusable. */
#define TARVELIN_E_VALUE_RANGE 29               /**< "Returned value out of range": ADCAnalog(). */
#define TARVELIN_E_IO485_ADDRESS 30             /**< "I/O-485 address out of range (0..31)". */
#define TARVELIN_E_IO485_SELECTOR 31            /**< "I/O-485 IC out of range (0, 1 or 3 {or BROAD})". */
#define TARVELIN_E_IO485_BROADCAST 32           /**< "I/O-485 Broadcast parameter must be True or False". */
#define TARVELIN_E_MALFORMED_ANSWER 33          /**< "?" followed by no device error digit: the text names the answer and the command. */
#define TARVELIN_E_MOTOR_CHARACTERS 34          /**< MotorGo(): a command character that is not printable (nothing sent). */
#define TARVELIN_E_PORT_NOT_OPEN 35             /**< "COM port is NOT open": PortClose() with no port open. */
#define TARVELIN_E_OPEN_FAILED 36               /**< "Unable to open COM port". */
#define TARVELIN_E_CALL_REFUSED 37              /**< Called from a window procedure while this thread's call waits for the board. */
#define TARVELIN_E_CLOSED_WHILE_WAITING 38      /**< The port was closed (another thread, a window procedure) while the call waited. */
#define TARVELIN_E_LINE_GONE 39                 /**< "COM port is no longer available": device removed or line hung up. */
#define TARVELIN_E_NOT_A_VALUE 40               /**< An answer or a sampled record that is not a value (noise, a control character, too long): the text quotes it and names the command. */
#define TARVELIN_E_INPUT_LOST 41                /**< The driver reported lost received characters (overrun) during the call: the text names the command. */
#define TARVELIN_E_WRONG_CHANNEL 50             /**< " Wrong Channel  ": ADCAnalog() at 8 bits, channel 12..14. */
#define TARVELIN_E_IO485_COMMUNICATION 50       /**< I/O-485 initialization or reset failed (three texts). */
#define TARVELIN_E_RESOLUTION 60                /**< "Resolution must be 8, 10 or 12 [bits]": ADCAnalog(). */
#define TARVELIN_E_SAMPLE_COUNT 60              /**< "Wrong Number of Samples ": block sampling. */
#define TARVELIN_E_PWM_FREQUENCY 60             /**< " Error in setting PWM's frequency". */
#define TARVELIN_E_CHANNEL_RANGE 61             /**< "Channel must be between 0 and 14 ": ADCAnalog(). */
#define TARVELIN_E_SAMPLING_RESOLUTION 61       /**< "Wrong ADC Resolution": block sampling. */
#define TARVELIN_E_PWM_DUTY_CYCLE 61            /**< " Error in setting PWM's Duty Cycle". */
#define TARVELIN_E_PWM_PULSES 62                /**< " Error in setting  PWM's Pulses". */
#define TARVELIN_E_BAUD_RATE 77                 /**< The board did not take, or not keep, a new baud rate (two texts). */
#define TARVELIN_E_PORT_VALUE 80                /**< " Value is out of range. The Value needs to be 0 < Value <256  ". */
#define TARVELIN_E_WRONG_PORT 81                /**< "Wrong Port selected": IOPortWrite(). */
#define TARVELIN_OK 0                           /**< Handle API: the call succeeded. */
#define TARVELIN_E_BAD_HANDLE 90                /**< Handle API: "Not an open board handle" (NULL, closed, or not one of this library's). */
#define TARVELIN_E_BAD_ARGUMENT 91              /**< Handle API: "Missing or unusable argument" (a NULL result pointer, a buffer of no room). */
#define TARVELIN_E_CANCELLED 92                 /**< Handle API: "Call cancelled" by tarvelin_cancel() or a progress callback. */
/** @} */

#ifdef __cplusplus
extern "C" {
#endif

/** @name Connection and baud rate
 * @{ */

/**
 * @brief Opens COM port @p port at 9600 baud, 8 data bits, no parity, one stop bit.
 *
 * Closes the port that is open first. The port is held exclusively; DTR and RTS
 * are raised. The port number and the rate are kept (GetPort(), GetBaudRate())
 * also when the open fails.
 * @param port COM port number, 1 for COM1. Any value is taken; a port that does
 *        not exist fails with 36.
 * @return 1 when the port is open; -1 when it cannot be opened.
 * @par Sends
 * Nothing.
 * @par Errors
 * #TARVELIN_E_OPEN_FAILED (36) "Unable to open COM port". On success the error
 * text is emptied while GetError() keeps its code.
 * @par Message boxes
 * "Can not setup priority of the KORIMAX thread to ..." (error icon) when the
 * system refuses the reader thread's priority; the call continues.
 * @par Waits
 * 300 ms after a successful open, for the board's line to settle.
 */
TARVELIN_API int32_t TARVELIN_CALL PortOpen(int32_t port);

/**
 * @brief Opens COM port @p port at the requested baud rate.
 *
 * As PortOpen(), with the rate given. The line rate is picked by @p baudRate / 100:
 * 3, 12, 24, 48, 96, 192, 384, 576 and 1152 select 300 .. 115200 baud; any other
 * rate is kept as the requested rate (GetBaudRate()) while the line stays at the
 * rate selected before (9600 after loading).
 * @param port COM port number, 1 for COM1.
 * @param baudRate requested rate, e.g. 19200 (19250 also selects 19200).
 * @return 1 when the port is open; -1 when it cannot be opened.
 * @par Sends
 * Nothing.
 * @par Errors
 * #TARVELIN_E_OPEN_FAILED (36) "Unable to open COM port".
 * @par Message boxes
 * As PortOpen().
 * @par Waits
 * 300 ms after a successful open.
 */
TARVELIN_API int32_t TARVELIN_CALL PortConfigure(int32_t port, int32_t baudRate);

/**
 * @brief Closes the open COM port; DTR is dropped.
 *
 * Port number and rate are kept. Afterwards every command fails with 25 until a
 * port is opened again. Unloading the library also closes the port. A call
 * from another thread ends a wait in progress.
 * @return 1 when the port was closed; -1 when none was open.
 * @par Sends
 * Nothing.
 * @par Errors
 * #TARVELIN_E_PORT_NOT_OPEN (35) "COM port is NOT open".
 * @par Message boxes
 * None.
 * @par Waits
 * 300 ms before closing, then until the reader thread has ended.
 */
TARVELIN_API int32_t TARVELIN_CALL PortClose(void);

/**
 * @brief The COM port number last given to PortOpen() or PortConfigure().
 * @return the port number; 1 before any open. Never fails; sends nothing.
 */
TARVELIN_API int32_t TARVELIN_CALL GetPort(void);

/**
 * @brief The baud rate last requested (PortOpen(): 9600, PortConfigure(), ChangeBaudRate()).
 * @return the requested rate, also one that selects no line rate; 9600 before
 *         any open. Never fails; sends nothing.
 */
TARVELIN_API int32_t TARVELIN_CALL GetBaudRate(void);

/**
 * @brief Moves the board and the open port to another baud rate.
 *
 * The board is told the rate at the old rate; then the port follows, the line
 * is resynchronised with four lone carriage returns and "PRB" is sent at the
 * new rate as a probe (its value is left for GetValue()). A rate equal to
 * GetBaudRate() returns 1 at once.
 * @param baudRate the new rate; as for PortConfigure(), the line rate is picked
 *        by @p baudRate / 100 (300 .. 115200).
 * @return 1 when the board answers at the new rate or the rate is already in
 *         use; -1 on failure.
 * @par Sends
 * "B<baudRate>" (e.g. B19200), then at the new rate four carriage returns and "PRB".
 * @par Errors
 * #TARVELIN_E_NO_PORT_OPEN (25) when no port is open (also after PortClose());
 * #TARVELIN_E_BAUD_RATE (77) "Command for changing Baud Rate was not accepted"
 * (rate and port unchanged) or "After changing Baud Rate, communication is not
 * possible" (rate and port already changed).
 * @par Message boxes
 * None.
 * @par Waits
 * The rate command's transaction (up to about 600 ms), 2 x 100 ms while the
 * line is resynchronised, the probe's transaction.
 */
TARVELIN_API int32_t TARVELIN_CALL ChangeBaudRate(int32_t baudRate);

/**
 * @brief The version text " Dorvik DLL version 3.51" (one leading blank, 24 characters).
 * @return library-owned text, the same address on every call; neither written
 *         nor freed by the caller. Never fails; sends nothing.
 */
TARVELIN_API const char* TARVELIN_CALL GetDLLVersion(void);

/**
 * @brief Copies the version text and its NUL, exactly 25 bytes, into @p buffer.
 * @param buffer caller's storage of at least 25 bytes (a Visual Basic String
 *        filled beforehand).
 * @return 1; -1 when @p buffer is null (no error code recorded). Sends nothing.
 */
TARVELIN_API int32_t TARVELIN_CALL GetDLLVersionVb(char* buffer);

/** @} */

/** @name Commands and error reporting
 * @{ */

/**
 * @brief Sends any command text to the board and waits for its answer.
 *
 * The text goes unchanged (no change of case) with a carriage return. A text
 * beginning with "CRAP" (any case) switches the library to the I/O-485 answer
 * mode, one beginning with "CRAD" or "CRAH" back.
 * @param command NUL-terminated command text, at most 62 characters, without
 *        a line terminator, e.g. "PRB".
 * @return 1 when the board answered without a device error (read the value
 *         with GetValue()); -1 on failure.
 * @par Sends
 * @p command and a carriage return; the pair once more when the prompt is late.
 * @par Errors
 * The errors of the transaction: #TARVELIN_E_NO_PORT_OPEN (25),
 * #TARVELIN_E_TIMEOUT (26), #TARVELIN_E_COMMAND_TEXT (27) for a null or longer
 * text (nothing sent), 1 to 15 from the board. An answer "?" with a character
 * that is no hexadecimal digit fails with GetError() -1 and an empty text.
 * @par Message boxes
 * None.
 * @par Waits
 * Up to about 600 ms for the prompt.
 */
TARVELIN_API int32_t TARVELIN_CALL WriteCommand(const char* command);

/**
 * @brief The value of the last answer.
 * @return the integer read from the last answer; 0 when it carried none. A call
 *         refused for want of an open port leaves the previous value. Sends nothing.
 */
TARVELIN_API int32_t TARVELIN_CALL GetValue(void);

/**
 * @brief The code of the last recorded error (the TARVELIN_E_... constants).
 * @return the code; -1 (#TARVELIN_E_NONE) after a command without error; 0
 *         before any call. Sends nothing.
 */
TARVELIN_API int32_t TARVELIN_CALL GetError(void);

/**
 * @brief The text of the last recorded error.
 * @return library-owned text (empty when there is none), valid until the next
 *         call that records or resets an error; neither written nor freed by the
 *         caller. Sends nothing.
 */
TARVELIN_API const char* TARVELIN_CALL GetErrorMessage(void);

/**
 * @brief Copies the text of the last error and its NUL into @p buffer.
 * @param buffer caller's storage of at least 152 bytes (the longest text and its NUL).
 * @return 1; -1 when @p buffer is null (no error code recorded). Sends nothing.
 */
TARVELIN_API int32_t TARVELIN_CALL GetErrorMessageVb(char* buffer);

/**
 * @brief Whether the board's limit event ("L", a stepper at its end of travel)
 *        came since the last call; clears it.
 * @return 1 when it came, else 0. Never fails; sends nothing.
 */
TARVELIN_API int32_t TARVELIN_CALL IntStatusL(void);

/** @} */

/** Visual Basic safe array (OLE Automation SAFEARRAY), filled by ADCAnalogSamplingVb(). */
struct tagSAFEARRAY;

/** @name Analog input
 *
 * Block sampling: the rate code sets the board's sampling rate; the library
 * uses it only for its deadline, 5 s plus samples per channel x factor / 800 ms:
 *
 * @verbatim
   rate code   factor   allowance per sample
   0              400   0.5 ms
   1              600   0.75 ms
   2             2000   2.5 ms
   3             3000   3.75 ms
   4             9000   11.25 ms
   5            20000   25 ms
   6            40000   50 ms
   7           100000   125 ms
   other    the code    code / 800 ms
   @endverbatim
 *
 * The G option (1) appends ";G" to the sampling command, and the call then
 * dispatches the calling thread's window messages while it waits; any other
 * value does neither.
 * @{ */

/**
 * @brief One analog conversion of @p channel at @p resolution bits.
 *
 * The analog pins are set up on the first call ("PCD$98"); port D frames the
 * conversion (0 before, 128 after).
 * @param resolution 8, 10 or 12.
 * @param channel 0..14; 0..11 at 8 bits.
 * @return the conversion: 0..1023 at 10 bits, 0..4095 at 12 bits, unchecked at
 *         8 bits; -1 on failure.
 * @par Sends
 * "PCD$98" (first call only), "PWD0", "GA<resolution>;<channel>" (e.g.
 * GA10;3), "PWD128". A failure stops the sequence, leaving port D at 0.
 * @par Errors
 * #TARVELIN_E_NO_PORT_OPEN (25) before any port was opened (nothing sent);
 * #TARVELIN_E_RESOLUTION (60) and #TARVELIN_E_CHANNEL_RANGE (61), checked in this
 * order before anything is sent; #TARVELIN_E_WRONG_CHANNEL (50) for channel 12..14
 * at 8 bits, after "PWD0"; #TARVELIN_E_VALUE_RANGE (29) for a value outside the
 * range; the errors of the transaction.
 * @par Message boxes
 * At 12 bits the value, caption " STring QEl Answer", OK button: the call waits
 * until it is closed, then sends "PWD128".
 * @par Waits
 * Up to about 600 ms per command.
 */
TARVELIN_API int32_t TARVELIN_CALL ADCAnalog(int32_t resolution, int32_t channel);

/**
 * @brief A 10-bit reading through port S, read as two bytes.
 * @param mode 0 or 1 selects the port S pattern "PWS$60" or "PWS$70"; any other
 *        mode reads nothing.
 * @return ((first byte AND 3) << 8) OR second byte for mode 0 or 1; @p mode
 *         itself for any other mode; -1 on failure.
 * @par Sends
 * "PCD$98", "PWD128", "PCSA128"; for mode 0 or 1 "PWS$60" or "PWS$70", "PWD0",
 * "PRS" twice; then "PWD128". The first failure ends the call.
 * @par Errors
 * The errors of the transaction (25 when no port is open).
 * @par Message boxes
 * None.
 * @par Waits
 * Up to about 600 ms per command.
 */
TARVELIN_API int32_t TARVELIN_CALL ReadADCM2(int32_t mode);

/**
 * @brief Block sampling of the channels in @p channelMask into @p values.
 *
 * The values arrive in the board's order, channel after channel within each
 * sample, unchecked against the resolution; values stored before a failure
 * stay. Records beyond channel count x @p sampleCount are dropped.
 * @param resolution 8, 10 or 12.
 * @param channelMask bit n selects channel n; bits 0..10 are counted, the mask
 *        is sent in full.
 * @param rateCode the board's sampling rate code 0..7 (see the table above);
 *        other values go to the board unchanged.
 * @param sampleCount samples per channel, not 0; channel count x
 *        @p sampleCount at most 720,896 (11 x 65,536).
 * @param gOption 1: the G option (";G", window messages dispatched while
 *        waiting); any other value: neither.
 * @param values caller's array of channel count x @p sampleCount 32-bit integers.
 * @return 1 when the block is in and "PWD$80" was accepted; -1 on failure.
 * @par Sends
 * "PCD$98" (first analog call only), "PWD0", then
 * "GS<resolution>;<mask>;<rate code>;<samples>[;G]" (e.g. GS12;5;3;1000;G)
 * without waiting for a prompt, then "PWD$80".
 * @par Errors
 * #TARVELIN_E_SAMPLE_COUNT (60) and #TARVELIN_E_SAMPLE_ARRAY (28) before
 * anything is sent; the errors of the transaction for "PCD$98" and "PWD0";
 * #TARVELIN_E_SAMPLING_RESOLUTION (61) after "PWD0"; #TARVELIN_E_TIMEOUT (26)
 * "COM port timed out" when the block is not in by the deadline; 1 to 15 when
 * the board refuses the block, with short texts ("Time out error"); the errors
 * of the transaction for "PWD$80".
 * @par Message boxes
 * The sampling command, caption "STring  :", OK button, before it is sent: the
 * call waits until it is closed.
 * @par Waits
 * Up to 5 s + @p sampleCount x the rate factor / 800 ms for the block.
 */
TARVELIN_API int32_t TARVELIN_CALL ADCAnalogSampling(int32_t resolution, int32_t channelMask, int32_t rateCode,
                                                     int32_t sampleCount, int32_t gOption, int32_t* values);

/**
 * @brief Block sampling into a Visual Basic safe array (VB: an array of Long).
 *
 * As ADCAnalogSampling(), with these differences: no upper limit on the count,
 * no message box before sending, values stored from index 0 whatever the
 * array's lower bound, and 1 returned once "PWD$80" has been tried.
 * @param resolution 8, 10 or 12.
 * @param channelMask bit n selects channel n; bits 0..10 are counted.
 * @param rateCode the board's sampling rate code 0..7 (see the table above).
 * @param sampleCount samples per channel, not 0.
 * @param gOption 1: the G option; any other value: none.
 * @param valueArray reference to a one-dimensional safe array of 32-bit
 *        integers (VB passes it for an argument declared values() As Long).
 * @return 1 when the block was parsed; -1 on failure.
 * @par Sends
 * As ADCAnalogSampling().
 * @par Errors
 * #TARVELIN_E_SAMPLE_COUNT (60) for 0 samples, or for more than 733,798
 * values (channels x @p sampleCount), more than one answer can hold; nothing is
 * sent. The array is locked (SafeArrayLock) while the call waits, so a window
 * procedure cannot free or resize it; #TARVELIN_E_SAMPLE_ARRAY (28)
 * for a null reference or array, or one of other dimensions or elements, or
 * one that names an element type other than a 32-bit integer (VT_I4: a Single
 * array is refused; nothing sent); #TARVELIN_E_SAMPLE_ARRAY (28) also when the
 * indices 0 to channels x @p sampleCount - 1 do not all lie within the array
 * (one declared 1 To n, or too short), with a text that names the indices
 * needed and those the array has ("...needs the indices 0 to 19 (channels x
 * samples = 2 x 10); it has 1 to 20"; nothing sent); then as
 * ADCAnalogSampling(), with "Stepper Motor not enable!" for code 13.
 * @par Message boxes
 * " Not enough memory for requested sampling", caption "ERROR ", error icon,
 * when the board sends more values than were asked for and one does not fit
 * the array: the call then returns -1 without an error code and without
 * sending "PWD$80".
 * @par Waits
 * As ADCAnalogSampling().
 */
TARVELIN_API int32_t TARVELIN_CALL ADCAnalogSamplingVb(int32_t resolution, int32_t channelMask, int32_t rateCode,
                                                       int32_t sampleCount, int32_t gOption,
                                                       struct tagSAFEARRAY** valueArray);

/** @} */

/** @name Digital ports
 * @{ */

/**
 * @brief Reads digital port A, B, C, D or S.
 * @param port the port letter's character code in the low byte ('B' or 'b').
 * @return the port's value; -1 on failure.
 * @par Sends
 * "PR<letter>" in upper case, e.g. PRB.
 * @par Errors
 * #TARVELIN_E_NO_SUCH_PORT (4) for another letter (nothing sent); the errors
 * of the transaction.
 * @par Message boxes
 * None.
 * @par Waits
 * Up to about 600 ms.
 */
TARVELIN_API int32_t TARVELIN_CALL IOPortRead(int32_t port);

/**
 * @brief Writes @p value to digital port A, B, C, D or S.
 * @param port the port letter's character code in the low byte ('C' or 'c').
 * @param value -1..255, sent in decimal.
 * @return 1 when the board took it; -1 on failure.
 * @par Sends
 * "PW<letter><value>" in upper case, e.g. PWC17.
 * @par Errors
 * #TARVELIN_E_PORT_VALUE (80), checked first, then #TARVELIN_E_WRONG_PORT (81)
 * (nothing sent); the errors of the transaction.
 * @par Message boxes
 * None.
 * @par Waits
 * Up to about 600 ms.
 */
TARVELIN_API int32_t TARVELIN_CALL IOPortWrite(int32_t port, int32_t value);

/** @} */

/** @name Stepper motor
 * The library passes the motor's parameters through; the board checks them
 * (device errors 10, 13 and 14 are the stepper's own refusals).
 * @{ */

/**
 * @brief Starts a stepper motion.
 * @param first first command character, low byte, sent unchanged.
 * @param second second command character, low byte, sent unchanged.
 * @param number1 first number, any 32-bit value.
 * @param number2 second number, any 32-bit value.
 * @param number3 third number, any 32-bit value.
 * @param number4 fourth number, any 32-bit value.
 * @return 1 when the board took it; -1 on failure.
 * @par Sends
 * "S", the two characters, then the numbers in decimal separated by ";", e.g.
 * SXY200;10;20;30 (at most 50 characters).
 * @par Errors
 * #TARVELIN_E_MOTOR_CHARACTERS (34) when either character's low byte is below
 * 32 or is 127 (a carriage return would put two command lines on the wire, a
 * NUL would cut the command short; nothing is sent); the errors of the transaction.
 * @par Message boxes
 * None.
 * @par Waits
 * Up to about 600 ms.
 */
TARVELIN_API int32_t TARVELIN_CALL MotorGo(int32_t first, int32_t second, int32_t number1, int32_t number2,
                                           int32_t number3, int32_t number4);

/**
 * @brief Stops the stepper motor.
 * @return 1; -1 on failure.
 * @par Sends
 * "SS".
 * @par Errors
 * The errors of the transaction.
 * @par Message boxes
 * None.
 * @par Waits
 * Up to about 600 ms.
 */
TARVELIN_API int32_t TARVELIN_CALL MotorStop(void);

/**
 * @brief Sets the stepper's step counter to 0.
 * @return 1; -1 on failure.
 * @par Sends
 * "SR".
 * @par Errors
 * The errors of the transaction.
 * @par Message boxes
 * None.
 * @par Waits
 * Up to about 600 ms.
 */
TARVELIN_API int32_t TARVELIN_CALL MotorCounterReset(void);

/**
 * @brief Reads the stepper's step counter.
 * @return the counter (may be 0); -1 on failure.
 * @par Sends
 * "SN".
 * @par Errors
 * The errors of the transaction.
 * @par Message boxes
 * None.
 * @par Waits
 * Up to about 600 ms.
 */
TARVELIN_API int32_t TARVELIN_CALL GetMotorCounter(void);

/**
 * @brief Reads the stepper's motor flag.
 * @return the flag as the board answers it; -1 on failure.
 * @par Sends
 * "S?".
 * @par Errors
 * The errors of the transaction.
 * @par Message boxes
 * None.
 * @par Waits
 * Up to about 600 ms.
 */
TARVELIN_API int32_t TARVELIN_CALL GetMotorFlag(void);

/**
 * @brief Disables the stepper motor.
 * @return the value of the board's answer, not 1; -1 on failure.
 * @par Sends
 * "SD".
 * @par Errors
 * The errors of the transaction.
 * @par Message boxes
 * None.
 * @par Waits
 * Up to about 600 ms.
 */
TARVELIN_API int32_t TARVELIN_CALL DisableMotor(void);

/** @} */

/** @name PWM output and period
 * @{ */

/**
 * @brief Starts the PWM output for @p pulses pulses.
 * @param frequency 15..15000.
 * @param dutyCycle 0..100 (percent).
 * @param pulses 0..16000000.
 * @return 1 when the board took it; -1 on failure.
 * @par Sends
 * "W<frequency>;<dutyCycle>;<pulses>", e.g. W1000;50;200.
 * @par Errors
 * #TARVELIN_E_PWM_FREQUENCY (60), #TARVELIN_E_PWM_DUTY_CYCLE (61),
 * #TARVELIN_E_PWM_PULSES (62), checked in this order before anything is sent;
 * the errors of the transaction (8: frequency too high for the duty cycle).
 * @par Message boxes
 * None.
 * @par Waits
 * Up to about 600 ms.
 */
TARVELIN_API int32_t TARVELIN_CALL SetPWMFrequency(int32_t frequency, int32_t dutyCycle, int32_t pulses);

/**
 * @brief Reads the pulses put out in the current PWM run.
 * @return the counter; -1 on failure.
 * @par Sends
 * "WN".
 * @par Errors
 * The errors of the transaction.
 * @par Message boxes
 * None.
 * @par Waits
 * Up to about 600 ms.
 */
TARVELIN_API int32_t TARVELIN_CALL GetPWMOutputCounter(void);

/**
 * @brief Whether a PWM run ended (the board's event "P") since the last call; clears it.
 * @return 1 once per end of run (several ends between two calls count once),
 *         else 0. Never fails; sends nothing; leaves the error state alone.
 */
TARVELIN_API int32_t TARVELIN_CALL GetPWMFinishFlag(void);

/**
 * @brief Reads the board's measured period.
 * @return the period as the board answers it; -1 on failure.
 * @par Sends
 * "GP".
 * @par Errors
 * The errors of the transaction.
 * @par Message boxes
 * None.
 * @par Waits
 * Up to about 600 ms.
 */
TARVELIN_API int32_t TARVELIN_CALL GetPeriod(void);

/** @} */

/** @name I/O-485 network
 * @{ */

/**
 * @brief Selects a module of the I/O-485 network by its address byte.
 *
 * The byte is @p address + 32 x @p selector + 128 when broadcasting.
 * What the board answers is left in GetValue() and GetError().
 * @param address module address 0..31.
 * @param selector IC selector 0..3 (1 and 3 are the usual ones).
 * @param broadcast 1 to address all modules, 0 not.
 * @return 1 once the arguments are accepted, whatever the board answers; -1
 *         when an argument is refused or no port is open (also after PortClose()).
 * @par Sends
 * "PWA<byte>" (e.g. PWA37 for address 5, IC 1), two lone carriage returns, "PRB".
 * @par Errors
 * #TARVELIN_E_NO_PORT_OPEN (25), #TARVELIN_E_IO485_ADDRESS (30),
 * #TARVELIN_E_IO485_SELECTOR (31), #TARVELIN_E_IO485_BROADCAST (32), checked in
 * this order before anything is sent.
 * @par Message boxes
 * None.
 * @par Waits
 * Up to about 600 ms for each of the two transactions.
 */
TARVELIN_API int32_t TARVELIN_CALL IO485Address(int32_t address, int32_t selector, int32_t broadcast);

/**
 * @brief Initializes the I/O-485 network and switches to its answer mode.
 * @return 1; -1 on failure.
 * @par Sends
 * "PCA255" and "PWA224" without waiting, two lone carriage returns as
 * commands, "PCSA128", "PCD$98", "PWD128", "CRAP".
 * @par Errors
 * #TARVELIN_E_IO485_COMMUNICATION (50) " Error of Communication in Initializing
 * IO485 Network" when "PCSA128" or "PCD$98" fails (also when no port is open);
 * the errors of the transaction for "PWD128" and "CRAP" (the answer mode is
 * then off).
 * @par Message boxes
 * None.
 * @par Waits
 * 2 x 100 ms and up to about 600 ms per command.
 */
TARVELIN_API int32_t TARVELIN_CALL IO485Initialize(void);

/**
 * @brief Resets the I/O-485 network at 9600 baud and initializes it again.
 * @return the result of the closing IO485Initialize() (1 or -1); -1 on its own failures.
 * @par Sends
 * As IO485Address() with address 0, IC 3, broadcast (PWA224); as
 * ChangeBaudRate() with 9600 when another rate is in use; "RESET"; as
 * IO485Initialize().
 * @par Errors
 * #TARVELIN_E_IO485_COMMUNICATION (50) " Error of Communication in Resetting
 * IO485 Network" when the selection fails (e.g. no port was ever opened), or
 * " Error on Setting to defualt Baud Rate, in Resetting IO485 Network"; then
 * those of IO485Initialize().
 * @par Message boxes
 * None.
 * @par Waits
 * Those of the calls it makes.
 */
TARVELIN_API int32_t TARVELIN_CALL ResetIO485Network(void);

/** @} */

/** @name Boards by handle
 * Several boards at once, each through its own handle. Every function returns
 * #TARVELIN_OK (0) or an error code (the TARVELIN_E_ constants), and gives its
 * results through pointers; tarvelin_error_text() copies the text of the
 * calling thread's last call on the board (empty after a success), with the
 * command it names: another thread's calls on the board in between do not
 * change it. The commands sent, the
 * checks made and the waits are those of the classic function named under
 * each; these functions never show a message box and never dispatch window
 * messages.
 *
 * Calls on one board are served one at a time, in turn; calls on different
 * boards run at once. A NULL, closed or foreign handle gives
 * #TARVELIN_E_BAD_HANDLE; a closed handle stays invalid (handles are not
 * reused). A close from another thread ends a call waiting on that board with
 * #TARVELIN_E_CLOSED_WHILE_WAITING. The classic functions act on a board of
 * their own, which no handle reaches.
 * @{ */

/** An open board; only ever used through a pointer. */
typedef struct tarvelin_board tarvelin_board;

/**
 * The progress of tarvelin_sample(), called on the sampling thread as values
 * arrive (at least every 50 ms while it waits) and once the block is in.
 * @param context the pointer given to tarvelin_sample().
 * @param received values received so far.
 * @param total values the block holds.
 * @return 0 to go on; any other value cancels the sampling.
 */
typedef int32_t(TARVELIN_CALL* tarvelin_progress)(void* context, int32_t received, int32_t total);

/**
 * @brief Opens a board on a COM port or a serial device at a line rate.
 * @param port "COM3" (either case), "3", or a device path ("/dev/ttyUSB0",
 *        "\\\\.\\COM12"); on Linux COMn is the device TARVELIN_COM<n> names,
 *        otherwise /dev/ttyS<n-1>.
 * @param baudRate the line rate (9600 is the board's own); the board is not
 *        told of it (see tarvelin_set_baud_rate()).
 * @param board receives the handle; NULL when the open fails.
 * @return 0; #TARVELIN_E_BAD_ARGUMENT for a missing @p port or @p board or a
 *         rate of 0 or less; #TARVELIN_E_OPEN_FAILED (36) when the port cannot
 *         be opened: tarvelin_error_text(NULL, ...) on the same thread then
 *         gives the device and the system's reason ("... Permission denied").
 * @par Waits
 * 300 ms after a successful open, for the board's line to settle.
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_open(const char* port, int32_t baudRate, tarvelin_board** board);

/**
 * @brief Closes a board and invalidates its handle.
 *
 * A call waiting on the board (another thread) ends with
 * #TARVELIN_E_CLOSED_WHILE_WAITING first.
 * @param board the handle.
 * @return 0; #TARVELIN_E_BAD_HANDLE.
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_close(tarvelin_board* board);

/**
 * @brief Cancels the call in progress on a board, from any thread.
 *
 * The call (a block sampling above all) ends within 100 ms with
 * #TARVELIN_E_CANCELLED; what the board still sends for it is dropped before
 * the next command. With no call in progress nothing happens.
 * @param board the handle.
 * @return 0; #TARVELIN_E_BAD_HANDLE.
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_cancel(tarvelin_board* board);

/**
 * @brief Copies the text of the calling thread's last call on a board.
 *
 * Empty after a call that succeeded. Kept for the 16 threads that called the
 * board most recently.
 * @param board the handle; NULL for the calling thread's last failed tarvelin_open().
 * @param buffer receives the text, cut to fit and always terminated.
 * @param size the bytes @p buffer holds, at least 1.
 * @return 0; #TARVELIN_E_BAD_HANDLE; #TARVELIN_E_BAD_ARGUMENT for a missing buffer.
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_error_text(tarvelin_board* board, char* buffer, int32_t size);

/**
 * @brief The fixed text of a code (e.g. "COM port timed out" for 26).
 * @param code a value of the TARVELIN_E_ constants, or 0.
 * @return a text owned by the library; "Unknown error code" for other codes.
 */
TARVELIN_API const char* TARVELIN_CALL tarvelin_code_text(int32_t code);

/**
 * @brief Sends a command and gives the value of its answer, as WriteCommand().
 * @param board the handle.
 * @param command the command text, at most 62 characters.
 * @param value receives the answer's value (0 for an acknowledgement); may be NULL.
 * @return 0; the errors of the transaction.
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_command(tarvelin_board* board, const char* command, int32_t* value);

/**
 * @brief Changes the line rate of board and port, as ChangeBaudRate().
 * @param board the handle.
 * @param baudRate the new rate, as ChangeBaudRate() takes it.
 * @return 0; as ChangeBaudRate().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_set_baud_rate(tarvelin_board* board, int32_t baudRate);

/**
 * @brief Reads a digital port, as IOPortRead().
 * @param board the handle.
 * @param port the letter's character code ('A', 'b', ...).
 * @param value receives the port's value.
 * @return 0; as IOPortRead().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_port_read(tarvelin_board* board, int32_t port, int32_t* value);

/**
 * @brief Writes a digital port, as IOPortWrite().
 * @param board the handle.
 * @param port the letter's character code.
 * @param value -1 to 255.
 * @return 0; as IOPortWrite().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_port_write(tarvelin_board* board, int32_t port, int32_t value);

/**
 * @brief One conversion, as ADCAnalog() but without its message box.
 * @param board the handle.
 * @param resolution 8, 10 or 12.
 * @param channel 0 to 14 (0 to 11 at 8 bits).
 * @param value receives the conversion.
 * @return 0; as ADCAnalog().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_adc(tarvelin_board* board, int32_t resolution, int32_t channel,
                                                int32_t* value);

/**
 * @brief The 10-bit reading through port S, as ReadADCM2().
 * @param board the handle.
 * @param mode 0 or 1.
 * @param value receives the reading.
 * @return 0; as ReadADCM2().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_adc_m2(tarvelin_board* board, int32_t mode, int32_t* value);

/**
 * @brief Block sampling into a caller's buffer, as ADCAnalogSampling()
 *        without the G option and without its message box.
 * @param board the handle.
 * @param resolution 8, 10 or 12.
 * @param channelMask bit n selects channel n.
 * @param rateCode the board's sampling rate code 0..7.
 * @param sampleCount samples per channel, not 0.
 * @param values the buffer.
 * @param capacity the values @p values holds: at least channels x @p sampleCount.
 * @param progress called as values arrive; may be NULL.
 * @param context handed to @p progress.
 * @param count receives the values stored (also on failure); may be NULL.
 * @return 0; #TARVELIN_E_SAMPLE_ARRAY (28) for a missing buffer or too small
 *         a capacity (nothing sent); #TARVELIN_E_CANCELLED within 100 ms of a
 *         cancel; as ADCAnalogSampling().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_sample(tarvelin_board* board, int32_t resolution, int32_t channelMask,
                                                   int32_t rateCode, int32_t sampleCount, int32_t* values,
                                                   int32_t capacity, tarvelin_progress progress, void* context,
                                                   int32_t* count);

/**
 * @brief Starts the stepper motor, as MotorGo().
 * @param board the handle.
 * @param first first command character.
 * @param second second command character.
 * @param number1 first number.
 * @param number2 second number.
 * @param number3 third number.
 * @param number4 fourth number.
 * @return 0; as MotorGo().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_motor_go(tarvelin_board* board, int32_t first, int32_t second,
                                                     int32_t number1, int32_t number2, int32_t number3,
                                                     int32_t number4);

/**
 * @brief Stops the stepper motor, as MotorStop().
 * @param board the handle.
 * @return 0; as MotorStop().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_motor_stop(tarvelin_board* board);

/**
 * @brief Resets the step counter, as MotorCounterReset().
 * @param board the handle.
 * @return 0; as MotorCounterReset().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_motor_counter_reset(tarvelin_board* board);

/**
 * @brief Reads the step counter, as GetMotorCounter().
 * @param board the handle.
 * @param value receives the counter.
 * @return 0; as GetMotorCounter().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_motor_counter(tarvelin_board* board, int32_t* value);

/**
 * @brief Reads the motor flag, as GetMotorFlag().
 * @param board the handle.
 * @param value receives the flag.
 * @return 0; as GetMotorFlag().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_motor_flag(tarvelin_board* board, int32_t* value);

/**
 * @brief Disables the stepper motor, as DisableMotor().
 * @param board the handle.
 * @param value receives the value of the board's answer; may be NULL.
 * @return 0; as DisableMotor().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_motor_disable(tarvelin_board* board, int32_t* value);

/**
 * @brief Starts the PWM output, as SetPWMFrequency().
 * @param board the handle.
 * @param frequency 15 to 15000.
 * @param dutyCycle 0 to 100.
 * @param pulses 0 to 16000000.
 * @return 0; as SetPWMFrequency().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_pwm_set(tarvelin_board* board, int32_t frequency, int32_t dutyCycle,
                                                    int32_t pulses);

/**
 * @brief Reads the pulses put out in the current PWM run, as GetPWMOutputCounter().
 * @param board the handle.
 * @param value receives the count.
 * @return 0; as GetPWMOutputCounter().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_pwm_counter(tarvelin_board* board, int32_t* value);

/**
 * @brief Whether a PWM run ended since the last look, as GetPWMFinishFlag(); sends nothing.
 * @param board the handle.
 * @param flag receives 1 or 0.
 * @return 0.
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_pwm_finished(tarvelin_board* board, int32_t* flag);

/**
 * @brief Whether the limit event came since the last look, as IntStatusL(); sends nothing.
 * @param board the handle.
 * @param flag receives 1 or 0.
 * @return 0.
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_limit_event(tarvelin_board* board, int32_t* flag);

/**
 * @brief Reads the measured period, as GetPeriod().
 * @param board the handle.
 * @param value receives the period.
 * @return 0; as GetPeriod().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_period(tarvelin_board* board, int32_t* value);

/**
 * @brief Initializes the I/O-485 network, as IO485Initialize().
 * @param board the handle.
 * @return 0; as IO485Initialize().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_io485_initialize(tarvelin_board* board);

/**
 * @brief Resets the I/O-485 network, as ResetIO485Network().
 * @param board the handle.
 * @param value receives the result of the initialization it ends with; may be NULL.
 * @return 0; as ResetIO485Network().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_io485_reset(tarvelin_board* board, int32_t* value);

/**
 * @brief Selects an I/O-485 module, as IO485Address().
 * @param board the handle.
 * @param address 0 to 31.
 * @param selector the IC selector 0 to 3.
 * @param broadcast 0 or 1.
 * @return 0; as IO485Address().
 */
TARVELIN_API int32_t TARVELIN_CALL tarvelin_io485_address(tarvelin_board* board, int32_t address, int32_t selector,
                                                          int32_t broadcast);

/** @} */

#ifdef __cplusplus
}
#endif

/** @} */

#endif /* TARVELIN_H */

// P/Invoke declarations of the TARVELIN driver library for C# and the other
// .NET languages: every function of tarvelin.h, the error codes, and helpers
// that read the library's texts and turn a failure into an exception.
//
// The library is "tarvelin": TARVELIN.DLL on Windows (the x86 or x64 one, as
// the process is 32- or 64-bit), libtarvelin.so on Linux. Every function uses
// the library's calling convention, CallingConvention.Winapi: StdCall on
// Windows (one convention on 64-bit targets), Cdecl elsewhere, as TARVELIN_CALL
// in tarvelin.h; the progress callback of tarvelin_sample too (Native.Progress).
// Strings are 8-bit (ANSI). The reference of every function is in tarvelin.h.
//
// Board drives one board through its own handle (several boards at once, from
// any thread); Native keeps the classic functions, which act on one board per
// process.
//
// Sample() makes the array for a block itself; ADCAnalogSampling() refuses an
// array too short for the block, which the library would write past.
// MessageBoxes(false) turns the library's informational message boxes off.
//
// Projects with nullable reference types (.NET 8) compile this file without
// warnings: it is written for them, and the warnings are off for older code
// that reads it. (The #nullable directive is unknown to the older compilers
// that also build it, so the warnings are named instead.)
#pragma warning disable CS8600, CS8601, CS8602, CS8603, CS8604, CS8618, CS8625
using System;
using System.Runtime.ExceptionServices;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace Tarvelin
{
    /// <summary>The library's functions under their C names.</summary>
    public static class Native
    {
        /// <summary>The library's name as the runtime looks it up.</summary>
        public const string Library = "tarvelin";

        /// <summary>tarvelin_progress: called as sampled values arrive; nonzero cancels. Winapi is the
        /// library's convention (StdCall on 32-bit Windows, Cdecl elsewhere). Keep the delegate alive
        /// until tarvelin_sample returns.</summary>
        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        public delegate int Progress(IntPtr context, int received, int total);

        // --- generated from src/exports/exports.tab by scripts/gen_declarations.py: do not edit ---
        /// <summary>Opens COM port port at 9600 baud, 8 data bits, no parity, one stop bit.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int PortOpen(int port);

        /// <summary>Opens COM port port at the requested baud rate.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int PortConfigure(int port, int baudRate);

        /// <summary>Closes the open COM port; DTR is dropped.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int PortClose();

        /// <summary>The COM port number last given to PortOpen() or PortConfigure().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int GetPort();

        /// <summary>The baud rate last requested (PortOpen(): 9600, PortConfigure(), ChangeBaudRate()).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int GetBaudRate();

        /// <summary>Moves the board and the open port to another baud rate.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int ChangeBaudRate(int baudRate);

        /// <summary>The version text " Dorvik DLL version 3.51" (one leading blank, 24 characters).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern IntPtr GetDLLVersion();

        /// <summary>Copies the version text and its NUL, exactly 25 bytes, into buffer.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int GetDLLVersionVb(StringBuilder buffer);

        /// <summary>Sends any command text to the board and waits for its answer.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int WriteCommand(string command);

        /// <summary>The value of the last answer.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int GetValue();

        /// <summary>The code of the last recorded error (the TARVELIN_E_... constants).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int GetError();

        /// <summary>The text of the last recorded error.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern IntPtr GetErrorMessage();

        /// <summary>Copies the text of the last error and its NUL into buffer.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int GetErrorMessageVb(StringBuilder buffer);

        /// <summary>Whether the board's limit event ("L", a stepper at its end of travel) came since the last call; clears it.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int IntStatusL();

        /// <summary>One analog conversion of channel at resolution bits.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int ADCAnalog(int resolution, int channel);

        /// <summary>A 10-bit reading through port S, read as two bytes.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int ReadADCM2(int mode);

        [DllImport(Library, EntryPoint = "ADCAnalogSampling", CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        private static extern int SamplingImport(int resolution, int channelMask, int rateCode, int sampleCount, int gOption, [Out] int[] values);

        /// <summary>Block sampling into a Visual Basic safe array (VB: an array of Long).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int ADCAnalogSamplingVb(int resolution, int channelMask, int rateCode, int sampleCount, int gOption, [MarshalAs(UnmanagedType.SafeArray, SafeArraySubType = VarEnum.VT_I4)] ref int[] valueArray);

        /// <summary>Reads digital port A, B, C, D or S.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int IOPortRead(int port);

        /// <summary>Writes value to digital port A, B, C, D or S.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int IOPortWrite(int port, int value);

        /// <summary>Starts a stepper motion.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int MotorGo(int first, int second, int number1, int number2, int number3, int number4);

        /// <summary>Stops the stepper motor.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int MotorStop();

        /// <summary>Sets the stepper's step counter to 0.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int MotorCounterReset();

        /// <summary>Reads the stepper's step counter.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int GetMotorCounter();

        /// <summary>Reads the stepper's motor flag.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int GetMotorFlag();

        /// <summary>Disables the stepper motor.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int DisableMotor();

        /// <summary>Starts the PWM output for pulses pulses.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int SetPWMFrequency(int frequency, int dutyCycle, int pulses);

        /// <summary>Reads the pulses put out in the current PWM run.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int GetPWMOutputCounter();

        /// <summary>Whether a PWM run ended (the board's event "P") since the last call; clears it.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int GetPWMFinishFlag();

        /// <summary>Reads the board's measured period.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int GetPeriod();

        /// <summary>Selects a module of the I/O-485 network by its address byte.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int IO485Address(int address, int selector, int broadcast);

        /// <summary>Initializes the I/O-485 network and switches to its answer mode.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int IO485Initialize();

        /// <summary>Resets the I/O-485 network at 9600 baud and initializes it again.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int ResetIO485Network();

        /// <summary>Opens a board on a COM port or a serial device at a line rate.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_open(string port, int baudRate, out IntPtr board);

        /// <summary>Closes a board and invalidates its handle.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_close(IntPtr board);

        /// <summary>Cancels the call in progress on a board, from any thread.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_cancel(IntPtr board);

        /// <summary>Copies the text of the calling thread's last call on a board.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_error_text(IntPtr board, StringBuilder buffer, int size);

        /// <summary>The fixed text of a code (e.g. "COM port timed out" for 26).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern IntPtr tarvelin_code_text(int code);

        /// <summary>Sends a command and gives the value of its answer, as WriteCommand().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_command(IntPtr board, string command, out int value);

        /// <summary>Changes the line rate of board and port, as ChangeBaudRate().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_set_baud_rate(IntPtr board, int baudRate);

        /// <summary>Reads a digital port, as IOPortRead().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_port_read(IntPtr board, int port, out int value);

        /// <summary>Writes a digital port, as IOPortWrite().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_port_write(IntPtr board, int port, int value);

        /// <summary>One conversion, as ADCAnalog() but without its message box.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_adc(IntPtr board, int resolution, int channel, out int value);

        /// <summary>The 10-bit reading through port S, as ReadADCM2().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_adc_m2(IntPtr board, int mode, out int value);

        /// <summary>Block sampling into a caller's buffer, as ADCAnalogSampling() without the G option and without its message box.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_sample(IntPtr board, int resolution, int channelMask, int rateCode, int sampleCount, [Out] int[] values, int capacity, Progress progress, IntPtr context, out int count);

        /// <summary>Starts the stepper motor, as MotorGo().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_motor_go(IntPtr board, int first, int second, int number1, int number2, int number3, int number4);

        /// <summary>Stops the stepper motor, as MotorStop().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_motor_stop(IntPtr board);

        /// <summary>Resets the step counter, as MotorCounterReset().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_motor_counter_reset(IntPtr board);

        /// <summary>Reads the step counter, as GetMotorCounter().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_motor_counter(IntPtr board, out int value);

        /// <summary>Reads the motor flag, as GetMotorFlag().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_motor_flag(IntPtr board, out int value);

        /// <summary>Disables the stepper motor, as DisableMotor().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_motor_disable(IntPtr board, out int value);

        /// <summary>Starts the PWM output, as SetPWMFrequency().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_pwm_set(IntPtr board, int frequency, int dutyCycle, int pulses);

        /// <summary>Reads the pulses put out in the current PWM run, as GetPWMOutputCounter().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_pwm_counter(IntPtr board, out int value);

        /// <summary>Whether a PWM run ended since the last look, as GetPWMFinishFlag(); sends nothing.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_pwm_finished(IntPtr board, out int flag);

        /// <summary>Whether the limit event came since the last look, as IntStatusL(); sends nothing.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_limit_event(IntPtr board, out int flag);

        /// <summary>Reads the measured period, as GetPeriod().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_period(IntPtr board, out int value);

        /// <summary>Initializes the I/O-485 network, as IO485Initialize().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_io485_initialize(IntPtr board);

        /// <summary>Resets the I/O-485 network, as ResetIO485Network().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_io485_reset(IntPtr board, out int value);

        /// <summary>Selects an I/O-485 module, as IO485Address().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int tarvelin_io485_address(IntPtr board, int address, int selector, int broadcast);
        // --- end of generated declarations ---

        /// <summary>Block sampling of the channels in channelMask into values, which must hold
        /// channels x sampleCount values (else ArgumentException, and nothing is sent). Sample() makes the array itself.</summary>
        public static int ADCAnalogSampling(int resolution, int channelMask, int rateCode, int sampleCount, int gOption, int[] values)
        {
            long needed = (long)CountChannels(channelMask) * sampleCount;
            if (values != null && values.Length < needed)
                throw new ArgumentException("values must hold channels x samples = " + needed + " values, not " +
                                            values.Length, "values");
            return SamplingImport(resolution, channelMask, rateCode, sampleCount, gOption, values);
        }

        /// <summary>The version text, " Dorvik DLL version ...".</summary>
        public static string Version()
        {
            return Marshal.PtrToStringAnsi(GetDLLVersion()) ?? "";
        }

        /// <summary>The largest block ADCAnalogSampling takes: 11 channels x 65,536 samples.</summary>
        public const int MaxBlockValues = 720896;

        /// <summary>The channels block sampling counts in a mask: bits 0 to 10.</summary>
        public static int CountChannels(int channelMask)
        {
            int count = 0;
            for (int bit = 0; bit <= 10; bit++)
                if ((channelMask & (1 << bit)) != 0) count++;
            return count;
        }

        /// <summary>Samples the channels of channelMask sampleCount times into an array of
        /// channels x sampleCount values, the channels of one sample side by side; throws
        /// TarvelinException when the library or the board refuses, ArgumentOutOfRangeException
        /// for a count of no values or more than MaxBlockValues.</summary>
        /// <example><code>int[] values = Native.Sample(10, 0x3, 2, 100);   // channels 0 and 1, 100 samples each</code></example>
        public static int[] Sample(int resolution, int channelMask, int rateCode, int sampleCount, bool gOption = false)
        {
            long count = (long)CountChannels(channelMask) * sampleCount;
            if (count < 1 || count > MaxBlockValues)
                throw new ArgumentOutOfRangeException("sampleCount", "channels x samples must be 1.." + MaxBlockValues +
                                                      ", not " + count);
            var values = new int[count];
            Check(SamplingImport(resolution, channelMask, rateCode, sampleCount, gOption ? 1 : 0, values));
            return values;
        }

        /// <summary>Shows (true) or hides (false) the library's informational message boxes (the value
        /// of a 12-bit ADCAnalog, the command before ADCAnalogSampling) from the next call on; hidden,
        /// they go to the debugger output. Sets TARVELIN_MESSAGEBOX for this process.</summary>
        public static void MessageBoxes(bool shown)
        {
            Environment.SetEnvironmentVariable("TARVELIN_MESSAGEBOX", shown ? null : "0");
        }

        /// <summary>The text of the last recorded error ("" when there is none).</summary>
        public static string ErrorMessage()
        {
            return Marshal.PtrToStringAnsi(GetErrorMessage()) ?? "";
        }

        /// <summary>Returns <paramref name="result"/> unless it is -1, the failure of a call
        /// that returns 1 or -1; then throws the recorded error.</summary>
        public static int Check(int result)
        {
            if (result == -1)
                throw new TarvelinException(GetError(), ErrorMessage());
            return result;
        }
    }

    /// <summary>A board on a COM port or serial device through its own handle in the library:
    /// several boards at once, each usable from several threads (the library serves one call at a
    /// time per board). Every failure throws TarvelinException with the code and the board's text.</summary>
    /// <example><code>
    /// using (var board = new Board("COM3"))
    /// {
    ///     board.Command("PCC255");
    ///     board.PortWrite('C', 17);
    ///     Console.WriteLine(board.PortRead('C'));
    /// }
    /// </code></example>
    public sealed class Board : IDisposable
    {
        const int Ok = 0;
        // Room for the longest error text (an answer of 99 characters quoted, the command named).
        const int TextRoom = 512;
        // IntPtr.Zero once closed: the library refuses it with code 90.
        IntPtr handle;
        // Pairs a failed call with the reading of its text (the library keeps it per thread as well).
        readonly object turn = new object();

        /// <summary>The port as given: "COM3", "3" or a device path.</summary>
        public string Port { get; private set; }
        /// <summary>The line rate: the one opened at, or the last one set.</summary>
        public int BaudRate { get; private set; }

        /// <summary>Opens the board on <paramref name="port"/> ("COM3", "3", "/dev/ttyUSB0") at
        /// <paramref name="baudRate"/>; the board is not told of the rate (see SetBaudRate). A failure
        /// throws TarvelinException whose text names the device and the system's reason.</summary>
        public Board(string port, int baudRate = 9600)
        {
            if (port == null) throw new ArgumentNullException("port");
            IntPtr opened;
            int code = Native.tarvelin_open(port, baudRate, out opened);
            if (code != Ok) {
                // The reason of a failed open is kept for this thread, under no handle.
                var text = new StringBuilder(TextRoom);
                Native.tarvelin_error_text(IntPtr.Zero, text, TextRoom);
                throw new TarvelinException(code, text.Length > 0 ? text.ToString() : CodeText(code));
            }
            handle = opened;
            Port = port;
            BaudRate = baudRate;
        }

        /// <summary>A board dropped without Dispose gives its port back.</summary>
        ~Board()
        {
            IntPtr board = Interlocked.Exchange(ref handle, IntPtr.Zero);
            if (board != IntPtr.Zero) Native.tarvelin_close(board);
        }

        /// <summary>Closes the board; a call waiting on it (another thread) ends with code 38. A second
        /// call does nothing.</summary>
        public void Dispose()
        {
            IntPtr board = Interlocked.Exchange(ref handle, IntPtr.Zero);
            GC.SuppressFinalize(this);
            if (board != IntPtr.Zero) Check(Native.tarvelin_close(board), board);
        }

        /// <summary>Whether Dispose was called.</summary>
        public bool IsClosed { get { return handle == IntPtr.Zero; } }

        /// <summary>The fixed text of an error code, e.g. "COM port timed out" for 26.</summary>
        public static string CodeText(int code)
        {
            return Marshal.PtrToStringAnsi(Native.tarvelin_code_text(code)) ?? "";
        }

        /// <summary>Ends the call in progress on this board (another thread, a progress delegate) with code 92.</summary>
        public void Cancel()
        {
            IntPtr board = handle;
            Check(Native.tarvelin_cancel(board), board);
        }

        void Check(int code, IntPtr board)
        {
            // Keeps the finalizer away until the call has returned.
            GC.KeepAlive(this);
            if (code == Ok) return;
            var text = new StringBuilder(TextRoom);
            // A closed handle has no text of its own; the code's fixed text stands in.
            if (code == Errors.TARVELIN_E_BAD_HANDLE || Native.tarvelin_error_text(board, text, TextRoom) != Ok)
                text.Length = 0;
            throw new TarvelinException(code, text.Length > 0 ? text.ToString() : CodeText(code));
        }

        delegate int Call(IntPtr board, out int value);

        void Run(Func<IntPtr, int> call)
        {
            lock (turn) {
                IntPtr board = handle;
                Check(call(board), board);
            }
        }

        int Value(Call call)
        {
            lock (turn) {
                IntPtr board = handle;
                int value;
                Check(call(board, out value), board);
                return value;
            }
        }

        /// <summary>Sends any command text (at most 62 characters); returns its answer's value
        /// (0 for an acknowledgement).</summary>
        public int Command(string command)
        {
            return Value((IntPtr board, out int value) => Native.tarvelin_command(board, command, out value));
        }

        /// <summary>Moves the board and the line to <paramref name="baudRate"/> (300 .. 115200).</summary>
        public void SetBaudRate(int baudRate)
        {
            Run(board => Native.tarvelin_set_baud_rate(board, baudRate));
            BaudRate = baudRate;
        }

        /// <summary>The value of port A, B, C, D or S (either case).</summary>
        public int PortRead(char port)
        {
            return Value((IntPtr board, out int value) => Native.tarvelin_port_read(board, port, out value));
        }

        /// <summary>Writes <paramref name="value"/> (-1..255) to port A, B, C, D or S.</summary>
        public void PortWrite(char port, int value)
        {
            Run(board => Native.tarvelin_port_write(board, port, value));
        }

        /// <summary>One conversion at 8, 10 or 12 bits of channel 0..14 (0..11 at 8 bits).</summary>
        public int Adc(int resolution, int channel)
        {
            return Value((IntPtr board, out int value) => Native.tarvelin_adc(board, resolution, channel, out value));
        }

        /// <summary>The 10-bit reading through port S, pattern <paramref name="mode"/> 0 or 1.</summary>
        public int AdcM2(int mode)
        {
            return Value((IntPtr board, out int value) => Native.tarvelin_adc_m2(board, mode, out value));
        }

        /// <summary>Block sampling of the channels of <paramref name="channelMask"/> (bits 0..10),
        /// <paramref name="sampleCount"/> times, into channels x sampleCount values, the channels of one
        /// sample side by side. <paramref name="progress"/>(received, total) is called as values arrive
        /// (at least every 50 ms); true cancels (TarvelinException with code 92). An exception thrown in
        /// it cancels too and is thrown again from here. ArgumentOutOfRangeException for a block of no
        /// values or more than Native.MaxBlockValues.</summary>
        public int[] Sample(int resolution, int channelMask, int rateCode, int sampleCount,
                            Func<int, int, bool> progress = null)
        {
            long wanted = (long)Native.CountChannels(channelMask) * sampleCount;
            if (sampleCount < 1 || wanted < 1 || wanted > Native.MaxBlockValues)
                throw new ArgumentOutOfRangeException("sampleCount", "channels x samples must be 1.." +
                                                      Native.MaxBlockValues + ", not " + wanted);
            var values = new int[wanted];
            ExceptionDispatchInfo thrown = null;
            Native.Progress callback = null;
            if (progress != null) {
                callback = (context, received, total) => {
                    // Nothing may unwind through the library: the exception is kept and cancels the call.
                    if (thrown != null) return 1;
                    try {
                        return progress(received, total) ? 1 : 0;
                    } catch (Exception e) {
                        thrown = ExceptionDispatchInfo.Capture(e);
                        return 1;
                    }
                };
            }
            try {
                lock (turn) {
                    IntPtr board = handle;
                    int count;
                    int code = Native.tarvelin_sample(board, resolution, channelMask, rateCode, sampleCount, values,
                                                      values.Length, callback, IntPtr.Zero, out count);
                    GC.KeepAlive(callback);
                    if (thrown == null) Check(code, board);
                }
            } finally {
                if (thrown != null) thrown.Throw();
            }
            return values;
        }

        /// <summary>Starts a motion: "S", the two characters and the four numbers.</summary>
        public void MotorGo(char first, char second, int number1, int number2, int number3, int number4)
        {
            Run(board => Native.tarvelin_motor_go(board, first, second, number1, number2, number3, number4));
        }

        /// <summary>Stops the stepper motor.</summary>
        public void MotorStop() { Run(Native.tarvelin_motor_stop); }

        /// <summary>Sets the step counter to 0.</summary>
        public void MotorCounterReset() { Run(Native.tarvelin_motor_counter_reset); }

        /// <summary>The step counter.</summary>
        public int MotorCounter() { return Value(Native.tarvelin_motor_counter); }

        /// <summary>The motor flag.</summary>
        public int MotorFlag() { return Value(Native.tarvelin_motor_flag); }

        /// <summary>Disables the stepper motor; returns the value of the board's answer.</summary>
        public int MotorDisable() { return Value(Native.tarvelin_motor_disable); }

        /// <summary>Starts the PWM: frequency 15..15000, duty cycle 0..100, pulses 0..16000000.</summary>
        public void PwmSet(int frequency, int dutyCycle, int pulses)
        {
            Run(board => Native.tarvelin_pwm_set(board, frequency, dutyCycle, pulses));
        }

        /// <summary>The pulses put out in the current PWM run.</summary>
        public int PwmCounter() { return Value(Native.tarvelin_pwm_counter); }

        /// <summary>Whether a PWM run ended since the last look (and clears it); sends nothing.</summary>
        public bool PwmFinished() { return Value(Native.tarvelin_pwm_finished) == 1; }

        /// <summary>Whether the limit event came since the last look (and clears it); sends nothing.</summary>
        public bool LimitEvent() { return Value(Native.tarvelin_limit_event) == 1; }

        /// <summary>The measured period.</summary>
        public int Period() { return Value(Native.tarvelin_period); }

        /// <summary>Initializes the I/O-485 network.</summary>
        public void IO485Initialize() { Run(Native.tarvelin_io485_initialize); }

        /// <summary>Resets the I/O-485 network at 9600 baud; returns the result of the initialization it ends with.</summary>
        public int IO485Reset()
        {
            int result = Value(Native.tarvelin_io485_reset);
            BaudRate = 9600;
            return result;
        }

        /// <summary>Selects module <paramref name="address"/> 0..31 behind IC <paramref name="selector"/> 0..3.</summary>
        public void IO485Address(int address, int selector, bool broadcast = false)
        {
            Run(board => Native.tarvelin_io485_address(board, address, selector, broadcast ? 1 : 0));
        }
    }

    /// <summary>A failed call: the library's error code and text.</summary>
    public class TarvelinException : Exception
    {
        /// <summary>The error code (the constants of <see cref="Errors"/>).</summary>
        public int Code { get; private set; }
        /// <summary>The error text as the library recorded it.</summary>
        public string Text { get; private set; }

        /// <summary>Makes the exception of error <paramref name="code"/> with its text.</summary>
        public TarvelinException(int code, string text)
            : base("error " + code + ": " + text.Trim())
        {
            Code = code;
            Text = text;
        }
    }

    /// <summary>The error codes of GetError(). Codes 1 to 15 are the board's refusals.</summary>
    public static class Errors
    {
        // --- error codes of include/tarvelin.h (scripts/sync_error_constants.py)
        /// <summary>No error: the state every command transaction starts from.</summary>
        public const int TARVELIN_E_NONE = -1;
        /// <summary>Board: "Command Error: Syntax error (command = ...)".</summary>
        public const int TARVELIN_E_DEVICE_SYNTAX = 1;
        /// <summary>Board: port must be configured or enabled first.</summary>
        public const int TARVELIN_E_DEVICE_NOT_CONFIGURED = 2;
        /// <summary>Board: command not allowed in the current configuration.</summary>
        public const int TARVELIN_E_DEVICE_NOT_ALLOWED = 3;
        /// <summary>Board: no such port.</summary>
        public const int TARVELIN_E_DEVICE_NO_SUCH_PORT = 4;
        /// <summary>Board: value out of range or syntax error.</summary>
        public const int TARVELIN_E_DEVICE_VALUE_RANGE = 5;
        /// <summary>Board: pin configured as an output.</summary>
        public const int TARVELIN_E_DEVICE_PIN_IS_OUTPUT = 6;
        /// <summary>Board: its own time-out.</summary>
        public const int TARVELIN_E_DEVICE_TIMEOUT = 7;
        /// <summary>Board: frequency too high for the required duty cycle.</summary>
        public const int TARVELIN_E_DEVICE_FREQUENCY = 8;
        /// <summary>Board: baud rate not supported.</summary>
        public const int TARVELIN_E_DEVICE_BAUD_RATE = 9;
        /// <summary>Board: stepper enabled, disable it first.</summary>
        public const int TARVELIN_E_DEVICE_STEPPER_ENABLED = 10;
        /// <summary>Board: SPI requires pin PD3/PS_SS always high.</summary>
        public const int TARVELIN_E_DEVICE_SPI_PIN = 11;
        /// <summary>Board: timer not available.</summary>
        public const int TARVELIN_E_DEVICE_TIMER = 12;
        /// <summary>Board: stepper motor not enabled.</summary>
        public const int TARVELIN_E_DEVICE_STEPPER_DISABLED = 13;
        /// <summary>Board: stepper running, stop it first.</summary>
        public const int TARVELIN_E_DEVICE_STEPPER_RUNNING = 14;
        /// <summary>Board: too many channels or sampling too fast.</summary>
        public const int TARVELIN_E_DEVICE_TOO_MANY_CHANNELS = 15;
        /// <summary>"No such port": IOPortRead() with a letter other than A, B, C, D, S.</summary>
        public const int TARVELIN_E_NO_SUCH_PORT = 4;
        /// <summary>"Commands cannot be sent before a COM port is open".</summary>
        public const int TARVELIN_E_NO_PORT_OPEN = 25;
        /// <summary>"COM port timed out": no prompt in time (the text names the command).</summary>
        public const int TARVELIN_E_TIMEOUT = 26;
        /// <summary>"Command text is missing or longer than 62 characters".</summary>
        public const int TARVELIN_E_COMMAND_TEXT = 27;
        /// <summary>The array for the sampled values is missing or unusable.</summary>
        public const int TARVELIN_E_SAMPLE_ARRAY = 28;
        /// <summary>"Returned value out of range": ADCAnalog().</summary>
        public const int TARVELIN_E_VALUE_RANGE = 29;
        /// <summary>"I/O-485 address out of range (0..31)".</summary>
        public const int TARVELIN_E_IO485_ADDRESS = 30;
        /// <summary>"I/O-485 IC out of range (0, 1 or 3 {or BROAD})".</summary>
        public const int TARVELIN_E_IO485_SELECTOR = 31;
        /// <summary>"I/O-485 Broadcast parameter must be True or False".</summary>
        public const int TARVELIN_E_IO485_BROADCAST = 32;
        /// <summary>"?" followed by no device error digit: the text names the answer and the command.</summary>
        public const int TARVELIN_E_MALFORMED_ANSWER = 33;
        /// <summary>MotorGo(): a command character that is not printable (nothing sent).</summary>
        public const int TARVELIN_E_MOTOR_CHARACTERS = 34;
        /// <summary>"COM port is NOT open": PortClose() with no port open.</summary>
        public const int TARVELIN_E_PORT_NOT_OPEN = 35;
        /// <summary>"Unable to open COM port".</summary>
        public const int TARVELIN_E_OPEN_FAILED = 36;
        /// <summary>Called from a window procedure while this thread's call waits for the board.</summary>
        public const int TARVELIN_E_CALL_REFUSED = 37;
        /// <summary>The port was closed (another thread, a window procedure) while the call waited.</summary>
        public const int TARVELIN_E_CLOSED_WHILE_WAITING = 38;
        /// <summary>"COM port is no longer available": device removed or line hung up.</summary>
        public const int TARVELIN_E_LINE_GONE = 39;
        /// <summary>An answer or a sampled record that is not a value (noise, a control character, too long): the text quotes it and names the command.</summary>
        public const int TARVELIN_E_NOT_A_VALUE = 40;
        /// <summary>The driver reported lost received characters (overrun) during the call: the text names the command.</summary>
        public const int TARVELIN_E_INPUT_LOST = 41;
        /// <summary>" Wrong Channel  ": ADCAnalog() at 8 bits, channel 12..14.</summary>
        public const int TARVELIN_E_WRONG_CHANNEL = 50;
        /// <summary>I/O-485 initialization or reset failed (three texts).</summary>
        public const int TARVELIN_E_IO485_COMMUNICATION = 50;
        /// <summary>"Resolution must be 8, 10 or 12 [bits]": ADCAnalog().</summary>
        public const int TARVELIN_E_RESOLUTION = 60;
        /// <summary>"Wrong Number of Samples ": block sampling.</summary>
        public const int TARVELIN_E_SAMPLE_COUNT = 60;
        /// <summary>" Error in setting PWM's frequency".</summary>
        public const int TARVELIN_E_PWM_FREQUENCY = 60;
        /// <summary>"Channel must be between 0 and 14 ": ADCAnalog().</summary>
        public const int TARVELIN_E_CHANNEL_RANGE = 61;
        /// <summary>"Wrong ADC Resolution": block sampling.</summary>
        public const int TARVELIN_E_SAMPLING_RESOLUTION = 61;
        /// <summary>" Error in setting PWM's Duty Cycle".</summary>
        public const int TARVELIN_E_PWM_DUTY_CYCLE = 61;
        /// <summary>" Error in setting  PWM's Pulses".</summary>
        public const int TARVELIN_E_PWM_PULSES = 62;
        /// <summary>The board did not take, or not keep, a new baud rate (two texts).</summary>
        public const int TARVELIN_E_BAUD_RATE = 77;
        /// <summary>" Value is out of range. The Value needs to be 0 &lt; Value &lt;256  ".</summary>
        public const int TARVELIN_E_PORT_VALUE = 80;
        /// <summary>"Wrong Port selected": IOPortWrite().</summary>
        public const int TARVELIN_E_WRONG_PORT = 81;
        /// <summary>Handle API: "Not an open board handle" (NULL, closed, or not one of this library's).</summary>
        public const int TARVELIN_E_BAD_HANDLE = 90;
        /// <summary>Handle API: "Missing or unusable argument" (a NULL result pointer, a buffer of no room).</summary>
        public const int TARVELIN_E_BAD_ARGUMENT = 91;
        /// <summary>Handle API: "Call cancelled" by tarvelin_cancel() or a progress callback.</summary>
        public const int TARVELIN_E_CANCELLED = 92;
        // --- end of the error codes
    }
}

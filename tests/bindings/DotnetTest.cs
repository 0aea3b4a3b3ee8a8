// The C# declarations against the export table, the header and the Linux
// library on the virtual board (COM3, TARVELIN_COM3 set by the caller).
//   mono DotnetTest.exe <repository>
// Ends with "dotnet: N passed, N failed"; exit status 1 on a failure.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.RegularExpressions;
using Tarvelin;

static class DotnetTest
{
    static int passed, failed;

    static void Check(bool ok, string what)
    {
        if (ok) passed++; else failed++;
        Console.WriteLine((ok ? "dotnet: ok   " : "dotnet: FAIL ") + what);
    }

    static TarvelinException Thrown(Action call)
    {
        try {
            call();
        } catch (TarvelinException e) {
            return e;
        }
        return null;
    }

    // One board through the handle API: COM3 by number, as the classic calls had it.
    static void BoardByHandle()
    {
        var progress = new List<int>();
        var board = new Board("3");
        using (board) {
            Check(board.Command("PCC255") == 0 && board.PortRead('C') == 17, "Board: Command and PortRead (17 from before)");
            board.PortWrite('c', 34);
            Check(board.PortRead('C') == 34, "Board: PortWrite('c', 34), read back");
            TarvelinException e = Thrown(() => board.PortRead('E'));
            Check(e != null && e.Code == Errors.TARVELIN_E_NO_SUCH_PORT && e.Text == "No such port",
                  "Board: PortRead('E') throws code 4 with the board's text");
            int[] block = board.Sample(10, 0x3, 1, 25, (received, total) => { progress.Add(received); return false; });
            Check(block.Length == 50 && block.All(v => v >= 0 && v <= 1023) && progress.Count > 0 &&
                  progress.Last() == 50, "Board: Sample of 2 x 25 values, progress up to 50");
            e = Thrown(() => board.Sample(10, 0x1, 6, 160, (received, total) => received > 0));
            Check(e != null && e.Code == Errors.TARVELIN_E_CANCELLED && board.PortRead('C') == 34,
                  "Board: a progress delegate returning true cancels with code 92; the board answers after");
            bool passedOn = false;
            try {
                board.Sample(10, 0x1, 6, 160, (received, total) => { throw new InvalidOperationException("from the delegate"); });
            } catch (InvalidOperationException) {
                passedOn = true;
            }
            Check(passedOn && board.PortRead('C') == 34, "Board: an exception in the progress delegate cancels and is thrown again");
        }
        TarvelinException closed = Thrown(() => board.PortRead('C'));
        Check(closed != null && closed.Code == Errors.TARVELIN_E_BAD_HANDLE, "Board: a call after Dispose throws code 90");
        TarvelinException open = Thrown(() => new Board("/dev/tarvelin-no-such-device"));
        Check(open != null && open.Code == Errors.TARVELIN_E_OPEN_FAILED && open.Text.Contains("/dev/tarvelin-no-such-device"),
              "Board: a failed open throws code 36 naming the device (" + (open == null ? "" : open.Text) + ")");
    }

    static int Main(string[] args)
    {
        string root = args.Length > 0 ? args[0] : ".";

        // Declarations: every export once, its argument count, Winapi (the library's TARVELIN_CALL) and ANSI.
        var table = new Dictionary<string, int>();
        foreach (string line in File.ReadAllLines(Path.Combine(root, "src/exports/exports.tab"))) {
            Match m = Regex.Match(line, @"^\d+\s+(\w+)\s+(\d+)");
            if (m.Success) table[m.Groups[1].Value] = int.Parse(m.Groups[2].Value) / 4;
        }
        // A checked wrapper may stand in front of a private import: the entry point counts.
        var imports = typeof(Native).GetMethods(BindingFlags.Public | BindingFlags.NonPublic | BindingFlags.Static)
            .Where(method => method.GetCustomAttributes(typeof(DllImportAttribute), false).Length > 0).ToList();
        Func<MethodInfo, string> entry = method =>
            ((DllImportAttribute)method.GetCustomAttributes(typeof(DllImportAttribute), false)[0]).EntryPoint ?? method.Name;
        Check(imports.Select(entry).OrderBy(n => n).SequenceEqual(table.Keys.OrderBy(n => n)),
              "every export declared once, nothing else (" + imports.Count + " of " + table.Count + ")");
        Check(table.Keys.All(name => typeof(Native).GetMethod(name, BindingFlags.Public | BindingFlags.Static) != null),
              "every export callable under its C name");
        foreach (MethodInfo method in imports) {
            var import = (DllImportAttribute)method.GetCustomAttributes(typeof(DllImportAttribute), false)[0];
            int wanted;
            bool ok = table.TryGetValue(entry(method), out wanted) && method.GetParameters().Length == wanted &&
                      import.CallingConvention == CallingConvention.Winapi && import.CharSet == CharSet.Ansi;
            if (!ok) Check(false, method.Name + ": argument count, Winapi and ANSI");
        }
        string header = File.ReadAllText(Path.Combine(root, "include/tarvelin.h"));
        var constants = Regex.Matches(header, @"#define\s+(TARVELIN_E_\w+)\s+\(?(-?\d+)\)?").Cast<Match>()
            .ToDictionary(m => m.Groups[1].Value, m => int.Parse(m.Groups[2].Value));
        var ours = typeof(Errors).GetFields().ToDictionary(f => f.Name, f => (int)f.GetValue(null));
        Check(ours.Count == constants.Count && ours.All(pair => constants.ContainsKey(pair.Key) &&
              constants[pair.Key] == pair.Value), "Errors holds the header's TARVELIN_E_ constants (scripts/sync_error_constants.py writes them)");

        // Calls against the board.
        Check(Native.Version().StartsWith(" Dorvik DLL version "), "Version() = \"" + Native.Version() + "\"");
        Check(Native.PortOpen(3) == 1, "PortOpen(3)");
        Check(Native.WriteCommand("PCC255") == 1 && Native.IOPortWrite('c', 17) == 1 && Native.IOPortRead('C') == 17,
              "port C written and read back through WriteCommand, IOPortWrite, IOPortRead");
        Check(Native.IOPortRead('E') == -1 && Native.GetError() == Errors.TARVELIN_E_NO_SUCH_PORT &&
              Native.ErrorMessage() == "No such port", "IOPortRead('E'): code 4, \"No such port\"");
        var buffer = new StringBuilder(160);
        Check(Native.GetErrorMessageVb(buffer) == 1 && buffer.ToString() == "No such port",
              "GetErrorMessageVb copies the text into a StringBuilder");
        try {
            Native.Check(Native.SetPWMFrequency(14, 50, 10));
            Check(false, "Check() throws for -1");
        } catch (TarvelinException e) {
            Check(e.Code == Errors.TARVELIN_E_PWM_FREQUENCY && e.Text == " Error in setting PWM's frequency",
                  "Check() throws TarvelinException(60, \" Error in setting PWM's frequency\")");
        }
        var values = new int[2 * 25];
        int sampled = Native.ADCAnalogSampling(10, 0x3, 1, 25, 0, values);
        Check(sampled == 1 && values.All(v => v >= 0 && v <= 1023) && values.Distinct().Count() > 1,
              "ADCAnalogSampling fills an int[] of 2 x 25 10-bit values");
        int[] block = Native.Sample(10, 0x3, 1, 25);
        Check(block.Length == 50 && block.All(v => v >= 0 && v <= 1023) && block.Distinct().Count() > 1,
              "Sample(10, 0x3, 1, 25) makes and fills an int[] of 2 x 25 10-bit values");
        // Port D holds 5 unless a sampling began (it sets port D to 0 first).
        var shortArray = new int[49];
        bool refused = false;
        Native.Check(Native.WriteCommand("PWD5"));
        try {
            Native.ADCAnalogSampling(10, 0x3, 1, 25, 0, shortArray);
        } catch (ArgumentException) {
            refused = true;
        }
        Check(refused && shortArray.All(v => v == 0) && Native.IOPortRead('D') == 5,
              "ADCAnalogSampling with 49 places for 2 x 25 values: ArgumentException, nothing sent");
        bool empty = false;
        try {
            Native.Sample(10, 0x3, 1, 0);
        } catch (ArgumentOutOfRangeException) {
            empty = true;
        }
        Check(empty, "Sample of 0 samples: ArgumentOutOfRangeException");
        Check(Native.PortClose() == 1 && Native.PortClose() == -1 && Native.GetError() == Errors.TARVELIN_E_PORT_NOT_OPEN,
              "PortClose, then code 35");

        BoardByHandle();

        Console.WriteLine("dotnet: " + passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}

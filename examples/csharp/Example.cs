// Reads port B and samples two analog channels on the board at COM3.
//   Windows: csc Example.cs ..\..\bindings\dotnet\Tarvelin.cs  (TARVELIN.DLL of the process's bitness beside it)
//   mono:    mcs Example.cs ../../bindings/dotnet/Tarvelin.cs && mono Example.exe
using System;
using Tarvelin;

static class Example
{
    static int Main()
    {
        Console.WriteLine(Native.Version());
        try {
            Native.Check(Native.PortOpen(3));
            Native.Check(Native.WriteCommand("PRB"));
            Console.WriteLine("port B: " + Native.GetValue());
            var values = new int[2 * 10];    // 2 channels x 10 samples, the channels of one sample together
            Native.Check(Native.ADCAnalogSampling(10, 0x3, 2, 10, 0, values));
            Console.WriteLine("samples: " + string.Join(" ", values));
            Native.Check(Native.PortClose());
            return 0;
        } catch (TarvelinException e) {
            Console.WriteLine("error " + e.Code + ": " + e.Text);
            return 1;
        }
    }
}

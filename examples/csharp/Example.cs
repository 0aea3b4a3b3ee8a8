// Reads port B and samples two analog channels on the board at COM3.
//   Windows: dotnet run --project Example.csproj -p:PlatformTarget=x64   (or x86; the project copies that DLL)
//            or csc Example.cs ..\..\bindings\dotnet\Tarvelin.cs with TARVELIN.DLL of the process's width beside it
//   mono:    mcs Example.cs ../../bindings/dotnet/Tarvelin.cs && mono Example.exe
using System;
using Tarvelin;

static class Example
{
    static int Main()
    {
        // No message box before each block: the program runs unattended.
        Native.MessageBoxes(false);
        Console.WriteLine(Native.Version());
        try {
            Native.Check(Native.PortOpen(3));
            Native.Check(Native.WriteCommand("PRB"));
            Console.WriteLine("port B: " + Native.GetValue());
            int[] values = Native.Sample(10, 0x3, 2, 10);    // 2 channels x 10 samples, the channels of one sample together
            Console.WriteLine("samples: " + string.Join(" ", values));
            Native.Check(Native.PortClose());
            return 0;
        } catch (TarvelinException e) {
            Console.WriteLine("error " + e.Code + ": " + e.Text);
            return 1;
        }
    }
}

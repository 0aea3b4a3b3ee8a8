// Reads port B and samples two analog channels on the board at COM3.
//   Windows: dotnet run --project Example.csproj -p:PlatformTarget=x64   (or x86; the project copies that DLL)
//            or csc Example.cs ..\..\bindings\dotnet\Tarvelin.cs with TARVELIN.DLL of the process's width beside it
//   mono:    mcs Example.cs ../../bindings/dotnet/Tarvelin.cs && mono Example.exe
// Board is the board through its own handle (several boards at once work the
// same way, one Board each); Native keeps the classic functions.
using System;
using Tarvelin;

static class Example
{
    static int Main()
    {
        Console.WriteLine(Native.Version());
        try {
            using (var board = new Board("COM3")) {
                Console.WriteLine("port B: " + board.PortRead('B'));
                // 2 channels x 10 samples, the channels of one sample together; the delegate may return true to cancel.
                int[] values = board.Sample(10, 0x3, 2, 10, (received, total) => {
                    Console.Error.WriteLine(received + "/" + total + " values");
                    return false;
                });
                Console.WriteLine("samples: " + string.Join(" ", values));
            }
            return 0;
        } catch (TarvelinException e) {
            Console.WriteLine("error " + e.Code + ": " + e.Text);
            return 1;
        }
    }
}

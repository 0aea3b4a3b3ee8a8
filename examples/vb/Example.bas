Attribute VB_Name = "Example"
' Reads port B and samples two analog channels on the board at COM3.
' Import TARVELIN64.bas (every Office since 2010) or TARVELIN.bas (VB6) from
' bindings\vb as well, and run ShowBoard. The package is taken to be
' unpacked in C:\TARVELIN (README-windows.txt, "The first hour").
Option Explicit

Public Sub ShowBoard()
    Dim samples() As Long, i As Long, report As String
    If Not TarvelinLoad("C:\TARVELIN") Then
        MsgBox TarvelinLoadError()
        Exit Sub
    End If
    If PortOpen(3) <> 1 Then
        MsgBox "Error " & GetError() & ": " & TarvelinErrorText()
        Exit Sub
    End If
    If IOPortRead(Asc("B")) = -1 Then
        MsgBox "Error " & GetError() & ": " & TarvelinErrorText()
    Else
        report = "Port B: " & GetValue() & vbCrLf
    End If
    ReDim samples(0 To 2 * 10 - 1)               ' 2 channels x 10 samples, filled from index 0
    If ADCAnalogSamplingVb(10, 3, 2, 10, 0, samples) = 1 Then
        For i = 0 To UBound(samples)
            report = report & samples(i) & " "
        Next i
    Else
        report = report & "Error " & GetError() & ": " & TarvelinErrorText()
    End If
    PortClose
    MsgBox TarvelinVersion() & vbCrLf & report
End Sub

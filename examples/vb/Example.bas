Attribute VB_Name = "Example"
' Reads port B and samples two analog channels on the board at COM3.
' Import TARVELIN.bas (VB6, 32-bit Office) or TARVELIN64.bas (VBA7) from
' bindings\vb as well, and run ShowBoard.
Option Explicit

Public Sub ShowBoard()
    Dim samples() As Long, i As Long, line As String
    If PortOpen(3) <> 1 Then
        MsgBox "Error " & GetError() & ": " & TarvelinErrorText()
        Exit Sub
    End If
    If IOPortRead(Asc("B")) = -1 Then
        MsgBox "Error " & GetError() & ": " & TarvelinErrorText()
    Else
        line = "Port B: " & GetValue() & vbCrLf
    End If
    ReDim samples(0 To 2 * 10 - 1)               ' 2 channels x 10 samples
    If ADCAnalogSamplingVb(10, 3, 2, 10, 0, samples) = 1 Then
        For i = 0 To UBound(samples)
            line = line & samples(i) & " "
        Next i
    End If
    PortClose
    MsgBox TarvelinVersion() & vbCrLf & line
End Sub

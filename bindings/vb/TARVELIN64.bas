Attribute VB_Name = "TARVELIN64"
' TARVELIN driver library for VBA7: Office 2010 and later, 32- and 64-bit.
' 64-bit Office loads the x64 TARVELIN.DLL, 32-bit Office the x86 one; put it
' beside the document or into a folder on the PATH. Older hosts (VB6, Office
' 2007) compile the #Else branch.
'
' Port letters and the motor's characters are passed as their codes: Asc("B").
' Every function returns 1 (or the value read) on success and -1 on failure;
' GetError() and TarvelinErrorText() then tell why. The reference of every
' function is in tarvelin.h.
Option Explicit

#If VBA7 Then
    Public Declare PtrSafe Function PortOpen Lib "TARVELIN.DLL" (ByVal port As Long) As Long
    Public Declare PtrSafe Function PortConfigure Lib "TARVELIN.DLL" (ByVal port As Long, ByVal baudRate As Long) As Long
    Public Declare PtrSafe Function PortClose Lib "TARVELIN.DLL" () As Long
    Public Declare PtrSafe Function GetPort Lib "TARVELIN.DLL" () As Long
    Public Declare PtrSafe Function GetBaudRate Lib "TARVELIN.DLL" () As Long
    Public Declare PtrSafe Function ChangeBaudRate Lib "TARVELIN.DLL" (ByVal baudRate As Long) As Long
    ' GetDLLVersion and GetErrorMessage return a pointer to the library's text: use the Vb variants.
    Public Declare PtrSafe Function GetDLLVersion Lib "TARVELIN.DLL" () As LongPtr
    Public Declare PtrSafe Function GetDLLVersionVb Lib "TARVELIN.DLL" (ByVal buffer As String) As Long
    Public Declare PtrSafe Function WriteCommand Lib "TARVELIN.DLL" (ByVal commandText As String) As Long
    Public Declare PtrSafe Function GetValue Lib "TARVELIN.DLL" () As Long
    Public Declare PtrSafe Function GetError Lib "TARVELIN.DLL" () As Long
    Public Declare PtrSafe Function GetErrorMessage Lib "TARVELIN.DLL" () As LongPtr
    Public Declare PtrSafe Function GetErrorMessageVb Lib "TARVELIN.DLL" (ByVal buffer As String) As Long
    Public Declare PtrSafe Function IntStatusL Lib "TARVELIN.DLL" () As Long
    Public Declare PtrSafe Function ADCAnalog Lib "TARVELIN.DLL" (ByVal resolution As Long, ByVal channel As Long) As Long
    Public Declare PtrSafe Function ReadADCM2 Lib "TARVELIN.DLL" (ByVal mode As Long) As Long
    ' values: pass the first element, values(0), of an array of channels x samples Longs.
    Public Declare PtrSafe Function ADCAnalogSampling Lib "TARVELIN.DLL" (ByVal resolution As Long, ByVal channelMask As Long, ByVal rateCode As Long, _
        ByVal sampleCount As Long, ByVal gOption As Long, values As Long) As Long
    ' values: an array of Long holding channels x samples values, filled from its first element.
    Public Declare PtrSafe Function ADCAnalogSamplingVb Lib "TARVELIN.DLL" (ByVal resolution As Long, ByVal channelMask As Long, ByVal rateCode As Long, _
        ByVal sampleCount As Long, ByVal gOption As Long, valueArray() As Long) As Long
    Public Declare PtrSafe Function IOPortRead Lib "TARVELIN.DLL" (ByVal port As Long) As Long
    Public Declare PtrSafe Function IOPortWrite Lib "TARVELIN.DLL" (ByVal port As Long, ByVal value As Long) As Long
    Public Declare PtrSafe Function MotorGo Lib "TARVELIN.DLL" (ByVal char1 As Long, ByVal char2 As Long, ByVal number1 As Long, _
        ByVal number2 As Long, ByVal number3 As Long, ByVal number4 As Long) As Long
    Public Declare PtrSafe Function MotorStop Lib "TARVELIN.DLL" () As Long
    Public Declare PtrSafe Function MotorCounterReset Lib "TARVELIN.DLL" () As Long
    Public Declare PtrSafe Function GetMotorCounter Lib "TARVELIN.DLL" () As Long
    Public Declare PtrSafe Function GetMotorFlag Lib "TARVELIN.DLL" () As Long
    Public Declare PtrSafe Function DisableMotor Lib "TARVELIN.DLL" () As Long
    Public Declare PtrSafe Function SetPWMFrequency Lib "TARVELIN.DLL" (ByVal frequency As Long, ByVal dutyCycle As Long, ByVal pulses As Long) As Long
    Public Declare PtrSafe Function GetPWMOutputCounter Lib "TARVELIN.DLL" () As Long
    Public Declare PtrSafe Function GetPWMFinishFlag Lib "TARVELIN.DLL" () As Long
    Public Declare PtrSafe Function GetPeriod Lib "TARVELIN.DLL" () As Long
    Public Declare PtrSafe Function IO485Address Lib "TARVELIN.DLL" (ByVal address As Long, ByVal selector As Long, ByVal broadcast As Long) As Long
    Public Declare PtrSafe Function IO485Initialize Lib "TARVELIN.DLL" () As Long
    Public Declare PtrSafe Function ResetIO485Network Lib "TARVELIN.DLL" () As Long
#Else
    Public Declare Function PortOpen Lib "TARVELIN.DLL" (ByVal port As Long) As Long
    Public Declare Function PortConfigure Lib "TARVELIN.DLL" (ByVal port As Long, ByVal baudRate As Long) As Long
    Public Declare Function PortClose Lib "TARVELIN.DLL" () As Long
    Public Declare Function GetPort Lib "TARVELIN.DLL" () As Long
    Public Declare Function GetBaudRate Lib "TARVELIN.DLL" () As Long
    Public Declare Function ChangeBaudRate Lib "TARVELIN.DLL" (ByVal baudRate As Long) As Long
    ' GetDLLVersion and GetErrorMessage return a pointer to the library's text: use the Vb variants.
    Public Declare Function GetDLLVersion Lib "TARVELIN.DLL" () As Long
    Public Declare Function GetDLLVersionVb Lib "TARVELIN.DLL" (ByVal buffer As String) As Long
    Public Declare Function WriteCommand Lib "TARVELIN.DLL" (ByVal commandText As String) As Long
    Public Declare Function GetValue Lib "TARVELIN.DLL" () As Long
    Public Declare Function GetError Lib "TARVELIN.DLL" () As Long
    Public Declare Function GetErrorMessage Lib "TARVELIN.DLL" () As Long
    Public Declare Function GetErrorMessageVb Lib "TARVELIN.DLL" (ByVal buffer As String) As Long
    Public Declare Function IntStatusL Lib "TARVELIN.DLL" () As Long
    Public Declare Function ADCAnalog Lib "TARVELIN.DLL" (ByVal resolution As Long, ByVal channel As Long) As Long
    Public Declare Function ReadADCM2 Lib "TARVELIN.DLL" (ByVal mode As Long) As Long
    ' values: pass the first element, values(0), of an array of channels x samples Longs.
    Public Declare Function ADCAnalogSampling Lib "TARVELIN.DLL" (ByVal resolution As Long, ByVal channelMask As Long, ByVal rateCode As Long, _
        ByVal sampleCount As Long, ByVal gOption As Long, values As Long) As Long
    ' values: an array of Long holding channels x samples values, filled from its first element.
    Public Declare Function ADCAnalogSamplingVb Lib "TARVELIN.DLL" (ByVal resolution As Long, ByVal channelMask As Long, ByVal rateCode As Long, _
        ByVal sampleCount As Long, ByVal gOption As Long, valueArray() As Long) As Long
    Public Declare Function IOPortRead Lib "TARVELIN.DLL" (ByVal port As Long) As Long
    Public Declare Function IOPortWrite Lib "TARVELIN.DLL" (ByVal port As Long, ByVal value As Long) As Long
    Public Declare Function MotorGo Lib "TARVELIN.DLL" (ByVal char1 As Long, ByVal char2 As Long, ByVal number1 As Long, _
        ByVal number2 As Long, ByVal number3 As Long, ByVal number4 As Long) As Long
    Public Declare Function MotorStop Lib "TARVELIN.DLL" () As Long
    Public Declare Function MotorCounterReset Lib "TARVELIN.DLL" () As Long
    Public Declare Function GetMotorCounter Lib "TARVELIN.DLL" () As Long
    Public Declare Function GetMotorFlag Lib "TARVELIN.DLL" () As Long
    Public Declare Function DisableMotor Lib "TARVELIN.DLL" () As Long
    Public Declare Function SetPWMFrequency Lib "TARVELIN.DLL" (ByVal frequency As Long, ByVal dutyCycle As Long, ByVal pulses As Long) As Long
    Public Declare Function GetPWMOutputCounter Lib "TARVELIN.DLL" () As Long
    Public Declare Function GetPWMFinishFlag Lib "TARVELIN.DLL" () As Long
    Public Declare Function GetPeriod Lib "TARVELIN.DLL" () As Long
    Public Declare Function IO485Address Lib "TARVELIN.DLL" (ByVal address As Long, ByVal selector As Long, ByVal broadcast As Long) As Long
    Public Declare Function IO485Initialize Lib "TARVELIN.DLL" () As Long
    Public Declare Function ResetIO485Network Lib "TARVELIN.DLL" () As Long
#End If

' Error codes (GetError)
' --- error codes of include/tarvelin.h (scripts/sync_error_constants.py)
Public Const TARVELIN_E_NONE As Long = -1
Public Const TARVELIN_E_DEVICE_SYNTAX As Long = 1
Public Const TARVELIN_E_DEVICE_NOT_CONFIGURED As Long = 2
Public Const TARVELIN_E_DEVICE_NOT_ALLOWED As Long = 3
Public Const TARVELIN_E_DEVICE_NO_SUCH_PORT As Long = 4
Public Const TARVELIN_E_DEVICE_VALUE_RANGE As Long = 5
Public Const TARVELIN_E_DEVICE_PIN_IS_OUTPUT As Long = 6
Public Const TARVELIN_E_DEVICE_TIMEOUT As Long = 7
Public Const TARVELIN_E_DEVICE_FREQUENCY As Long = 8
Public Const TARVELIN_E_DEVICE_BAUD_RATE As Long = 9
Public Const TARVELIN_E_DEVICE_STEPPER_ENABLED As Long = 10
Public Const TARVELIN_E_DEVICE_SPI_PIN As Long = 11
Public Const TARVELIN_E_DEVICE_TIMER As Long = 12
Public Const TARVELIN_E_DEVICE_STEPPER_DISABLED As Long = 13
Public Const TARVELIN_E_DEVICE_STEPPER_RUNNING As Long = 14
Public Const TARVELIN_E_DEVICE_TOO_MANY_CHANNELS As Long = 15
Public Const TARVELIN_E_NO_SUCH_PORT As Long = 4
Public Const TARVELIN_E_NO_PORT_OPEN As Long = 25
Public Const TARVELIN_E_TIMEOUT As Long = 26
Public Const TARVELIN_E_COMMAND_TEXT As Long = 27
Public Const TARVELIN_E_SAMPLE_ARRAY As Long = 28
Public Const TARVELIN_E_VALUE_RANGE As Long = 29
Public Const TARVELIN_E_IO485_ADDRESS As Long = 30
Public Const TARVELIN_E_IO485_SELECTOR As Long = 31
Public Const TARVELIN_E_IO485_BROADCAST As Long = 32
Public Const TARVELIN_E_MALFORMED_ANSWER As Long = 33
Public Const TARVELIN_E_MOTOR_CHARACTERS As Long = 34
Public Const TARVELIN_E_PORT_NOT_OPEN As Long = 35
Public Const TARVELIN_E_OPEN_FAILED As Long = 36
Public Const TARVELIN_E_CALL_REFUSED As Long = 37
Public Const TARVELIN_E_CLOSED_WHILE_WAITING As Long = 38
Public Const TARVELIN_E_LINE_GONE As Long = 39
Public Const TARVELIN_E_NOT_A_VALUE As Long = 40
Public Const TARVELIN_E_INPUT_LOST As Long = 41
Public Const TARVELIN_E_WRONG_CHANNEL As Long = 50
Public Const TARVELIN_E_IO485_COMMUNICATION As Long = 50
Public Const TARVELIN_E_RESOLUTION As Long = 60
Public Const TARVELIN_E_SAMPLE_COUNT As Long = 60
Public Const TARVELIN_E_PWM_FREQUENCY As Long = 60
Public Const TARVELIN_E_CHANNEL_RANGE As Long = 61
Public Const TARVELIN_E_SAMPLING_RESOLUTION As Long = 61
Public Const TARVELIN_E_PWM_DUTY_CYCLE As Long = 61
Public Const TARVELIN_E_PWM_PULSES As Long = 62
Public Const TARVELIN_E_BAUD_RATE As Long = 77
Public Const TARVELIN_E_PORT_VALUE As Long = 80
Public Const TARVELIN_E_WRONG_PORT As Long = 81
' --- end of the error codes

' The text of the last error (GetErrorMessageVb fills a String of at least 152 characters).
Public Function TarvelinErrorText() As String
    Dim buffer As String
    buffer = String$(160, vbNullChar)
    If GetErrorMessageVb(buffer) <> 1 Then Exit Function
    TarvelinErrorText = Left$(buffer, InStr(buffer, vbNullChar) - 1)
End Function

' The library's version text (GetDLLVersionVb fills a String of at least 25 characters).
Public Function TarvelinVersion() As String
    Dim buffer As String
    buffer = String$(32, vbNullChar)
    If GetDLLVersionVb(buffer) <> 1 Then Exit Function
    TarvelinVersion = Left$(buffer, InStr(buffer, vbNullChar) - 1)
End Function

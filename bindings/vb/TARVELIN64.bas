Attribute VB_Name = "TARVELIN64"
' TARVELIN driver library for VBA7: every Office since 2010, 32- and 64-bit.
' Use this module in every workbook, also in 32-bit Office: a colleague may
' open it in 64-bit Office. (VB6 and Office 2007 compile the #Else branch.)
'
' Where the DLL goes: Office looks for TARVELIN.DLL beside Excel.exe, in the
' system folders and on the PATH, never beside the document. Load it once by
' its full path before the first call, in Workbook_Open (ThisWorkbook):
'     Private Sub Workbook_Open()
'         If Not TarvelinLoad("C:\TARVELIN") Then MsgBox TarvelinLoadError()
'     End Sub
' TarvelinLoad takes the folder of the unpacked package and picks x64\ or x86\
' by the width of Office (#If Win64).
'
' Port letters and the motor's characters are passed as their codes: Asc("B").
' Every function returns 1 (or the value read) on success and -1 on failure;
' GetError() and TarvelinErrorText() then tell why. The tarvelin_ functions
' drive several boards at once, each through its handle: they return 0 or
' an error code, and TarvelinBoardErrorText(hBoard) tells why. TarvelinQuiet turns the
' informational message boxes off; TarvelinComPorts lists the COM ports. Every
' Declare names its entry point with Alias, so that VBA's recasing of names
' across a project cannot break it. The reference of every function is in
' tarvelin.h.
Option Explicit

' --- generated from src/exports/exports.tab by scripts/gen_declarations.py: do not edit ---
#If VBA7 Then
    Public Declare PtrSafe Function PortOpen Lib "TARVELIN.DLL" Alias "PortOpen" (ByVal nPort As Long) As Long
    Public Declare PtrSafe Function PortConfigure Lib "TARVELIN.DLL" Alias "PortConfigure" (ByVal nPort As Long, ByVal nBaudRate As Long) As Long
    Public Declare PtrSafe Function PortClose Lib "TARVELIN.DLL" Alias "PortClose" () As Long
    Public Declare PtrSafe Function GetPort Lib "TARVELIN.DLL" Alias "GetPort" () As Long
    Public Declare PtrSafe Function GetBaudRate Lib "TARVELIN.DLL" Alias "GetBaudRate" () As Long
    Public Declare PtrSafe Function ChangeBaudRate Lib "TARVELIN.DLL" Alias "ChangeBaudRate" (ByVal nBaudRate As Long) As Long
    ' GetDLLVersion and GetErrorMessage return a pointer to the library's text: use the Vb variants.
    Public Declare PtrSafe Function GetDLLVersion Lib "TARVELIN.DLL" Alias "GetDLLVersion" () As LongPtr
    Public Declare PtrSafe Function GetDLLVersionVb Lib "TARVELIN.DLL" Alias "GetDLLVersionVb" (ByVal lpBuffer As String) As Long
    Public Declare PtrSafe Function WriteCommand Lib "TARVELIN.DLL" Alias "WriteCommand" (ByVal lpCommand As String) As Long
    Public Declare PtrSafe Function GetValue Lib "TARVELIN.DLL" Alias "GetValue" () As Long
    Public Declare PtrSafe Function GetError Lib "TARVELIN.DLL" Alias "GetError" () As Long
    Public Declare PtrSafe Function GetErrorMessage Lib "TARVELIN.DLL" Alias "GetErrorMessage" () As LongPtr
    Public Declare PtrSafe Function GetErrorMessageVb Lib "TARVELIN.DLL" Alias "GetErrorMessageVb" (ByVal lpBuffer As String) As Long
    Public Declare PtrSafe Function IntStatusL Lib "TARVELIN.DLL" Alias "IntStatusL" () As Long
    Public Declare PtrSafe Function ADCAnalog Lib "TARVELIN.DLL" Alias "ADCAnalog" (ByVal nResolution As Long, ByVal nChannel As Long) As Long
    Public Declare PtrSafe Function ReadADCM2 Lib "TARVELIN.DLL" Alias "ReadADCM2" (ByVal nMode As Long) As Long
    ' firstValue: pass values(0) of an array of channels x samples Longs; nothing checks its size.
    Public Declare PtrSafe Function ADCAnalogSampling Lib "TARVELIN.DLL" Alias "ADCAnalogSampling" (ByVal nResolution As Long, ByVal nChannelMask As Long, ByVal nRateCode As Long, _
        ByVal nSampleCount As Long, ByVal nGOption As Long, firstValue As Long) As Long
    ' lpValueArray: an array of Long with the indices 0 to channels x samples - 1 (ReDim values(0 To n - 1)),
    ' filled from index 0; any other is refused with code 28 before anything is sent.
    Public Declare PtrSafe Function ADCAnalogSamplingVb Lib "TARVELIN.DLL" Alias "ADCAnalogSamplingVb" (ByVal nResolution As Long, ByVal nChannelMask As Long, ByVal nRateCode As Long, _
        ByVal nSampleCount As Long, ByVal nGOption As Long, lpValueArray() As Long) As Long
    Public Declare PtrSafe Function IOPortRead Lib "TARVELIN.DLL" Alias "IOPortRead" (ByVal nPort As Long) As Long
    Public Declare PtrSafe Function IOPortWrite Lib "TARVELIN.DLL" Alias "IOPortWrite" (ByVal nPort As Long, ByVal nValue As Long) As Long
    Public Declare PtrSafe Function MotorGo Lib "TARVELIN.DLL" Alias "MotorGo" (ByVal nChar1 As Long, ByVal nChar2 As Long, ByVal nNumber1 As Long, _
        ByVal nNumber2 As Long, ByVal nNumber3 As Long, ByVal nNumber4 As Long) As Long
    Public Declare PtrSafe Function MotorStop Lib "TARVELIN.DLL" Alias "MotorStop" () As Long
    Public Declare PtrSafe Function MotorCounterReset Lib "TARVELIN.DLL" Alias "MotorCounterReset" () As Long
    Public Declare PtrSafe Function GetMotorCounter Lib "TARVELIN.DLL" Alias "GetMotorCounter" () As Long
    Public Declare PtrSafe Function GetMotorFlag Lib "TARVELIN.DLL" Alias "GetMotorFlag" () As Long
    Public Declare PtrSafe Function DisableMotor Lib "TARVELIN.DLL" Alias "DisableMotor" () As Long
    Public Declare PtrSafe Function SetPWMFrequency Lib "TARVELIN.DLL" Alias "SetPWMFrequency" (ByVal nFrequency As Long, ByVal nDutyCycle As Long, ByVal nPulses As Long) As Long
    Public Declare PtrSafe Function GetPWMOutputCounter Lib "TARVELIN.DLL" Alias "GetPWMOutputCounter" () As Long
    Public Declare PtrSafe Function GetPWMFinishFlag Lib "TARVELIN.DLL" Alias "GetPWMFinishFlag" () As Long
    Public Declare PtrSafe Function GetPeriod Lib "TARVELIN.DLL" Alias "GetPeriod" () As Long
    Public Declare PtrSafe Function IO485Address Lib "TARVELIN.DLL" Alias "IO485Address" (ByVal nAddress As Long, ByVal nSelector As Long, ByVal nBroadcast As Long) As Long
    Public Declare PtrSafe Function IO485Initialize Lib "TARVELIN.DLL" Alias "IO485Initialize" () As Long
    Public Declare PtrSafe Function ResetIO485Network Lib "TARVELIN.DLL" Alias "ResetIO485Network" () As Long
    ' Boards by handle: every function returns 0 (TARVELIN_OK) or an error code. Keep the handle in a LongPtr;
    ' lpPort is "COM3" or "3". After a failed open, TarvelinBoardErrorText(0) tells why.
    Public Declare PtrSafe Function tarvelin_open Lib "TARVELIN.DLL" Alias "tarvelin_open" (ByVal lpPort As String, ByVal nBaudRate As Long, phBoard As LongPtr) As Long
    Public Declare PtrSafe Function tarvelin_close Lib "TARVELIN.DLL" Alias "tarvelin_close" (ByVal hBoard As LongPtr) As Long
    Public Declare PtrSafe Function tarvelin_cancel Lib "TARVELIN.DLL" Alias "tarvelin_cancel" (ByVal hBoard As LongPtr) As Long
    ' lpBuffer: a String of nSize characters, e.g. String$(256, vbNullChar); TarvelinBoardErrorText does this.
    Public Declare PtrSafe Function tarvelin_error_text Lib "TARVELIN.DLL" Alias "tarvelin_error_text" (ByVal hBoard As LongPtr, ByVal lpBuffer As String, ByVal nSize As Long) As Long
    ' Returns a pointer to the library's text.
    Public Declare PtrSafe Function tarvelin_code_text Lib "TARVELIN.DLL" Alias "tarvelin_code_text" (ByVal nCode As Long) As LongPtr
    Public Declare PtrSafe Function tarvelin_command Lib "TARVELIN.DLL" Alias "tarvelin_command" (ByVal hBoard As LongPtr, ByVal lpCommand As String, lpValue As Long) As Long
    Public Declare PtrSafe Function tarvelin_set_baud_rate Lib "TARVELIN.DLL" Alias "tarvelin_set_baud_rate" (ByVal hBoard As LongPtr, ByVal nBaudRate As Long) As Long
    Public Declare PtrSafe Function tarvelin_port_read Lib "TARVELIN.DLL" Alias "tarvelin_port_read" (ByVal hBoard As LongPtr, ByVal nPort As Long, lpValue As Long) As Long
    Public Declare PtrSafe Function tarvelin_port_write Lib "TARVELIN.DLL" Alias "tarvelin_port_write" (ByVal hBoard As LongPtr, ByVal nPort As Long, ByVal nValue As Long) As Long
    Public Declare PtrSafe Function tarvelin_adc Lib "TARVELIN.DLL" Alias "tarvelin_adc" (ByVal hBoard As LongPtr, ByVal nResolution As Long, ByVal nChannel As Long, _
        lpValue As Long) As Long
    Public Declare PtrSafe Function tarvelin_adc_m2 Lib "TARVELIN.DLL" Alias "tarvelin_adc_m2" (ByVal hBoard As LongPtr, ByVal nMode As Long, lpValue As Long) As Long
    ' firstValue: values(0) of an array of nCapacity Longs. lpProgress: 0, or AddressOf a Function in a standard module:
    ' Function OnProgress(ByVal lpContext As LongPtr, ByVal nReceived As Long, ByVal nTotal As Long) As Long, 0 to go on, nonzero to cancel (code 92).
    Public Declare PtrSafe Function tarvelin_sample Lib "TARVELIN.DLL" Alias "tarvelin_sample" (ByVal hBoard As LongPtr, ByVal nResolution As Long, ByVal nChannelMask As Long, _
        ByVal nRateCode As Long, ByVal nSampleCount As Long, firstValue As Long, _
        ByVal nCapacity As Long, ByVal lpProgress As LongPtr, ByVal lpContext As LongPtr, _
        lpCount As Long) As Long
    Public Declare PtrSafe Function tarvelin_motor_go Lib "TARVELIN.DLL" Alias "tarvelin_motor_go" (ByVal hBoard As LongPtr, ByVal nChar1 As Long, ByVal nChar2 As Long, _
        ByVal nNumber1 As Long, ByVal nNumber2 As Long, ByVal nNumber3 As Long, _
        ByVal nNumber4 As Long) As Long
    Public Declare PtrSafe Function tarvelin_motor_stop Lib "TARVELIN.DLL" Alias "tarvelin_motor_stop" (ByVal hBoard As LongPtr) As Long
    Public Declare PtrSafe Function tarvelin_motor_counter_reset Lib "TARVELIN.DLL" Alias "tarvelin_motor_counter_reset" (ByVal hBoard As LongPtr) As Long
    Public Declare PtrSafe Function tarvelin_motor_counter Lib "TARVELIN.DLL" Alias "tarvelin_motor_counter" (ByVal hBoard As LongPtr, lpValue As Long) As Long
    Public Declare PtrSafe Function tarvelin_motor_flag Lib "TARVELIN.DLL" Alias "tarvelin_motor_flag" (ByVal hBoard As LongPtr, lpValue As Long) As Long
    Public Declare PtrSafe Function tarvelin_motor_disable Lib "TARVELIN.DLL" Alias "tarvelin_motor_disable" (ByVal hBoard As LongPtr, lpValue As Long) As Long
    Public Declare PtrSafe Function tarvelin_pwm_set Lib "TARVELIN.DLL" Alias "tarvelin_pwm_set" (ByVal hBoard As LongPtr, ByVal nFrequency As Long, ByVal nDutyCycle As Long, _
        ByVal nPulses As Long) As Long
    Public Declare PtrSafe Function tarvelin_pwm_counter Lib "TARVELIN.DLL" Alias "tarvelin_pwm_counter" (ByVal hBoard As LongPtr, lpValue As Long) As Long
    Public Declare PtrSafe Function tarvelin_pwm_finished Lib "TARVELIN.DLL" Alias "tarvelin_pwm_finished" (ByVal hBoard As LongPtr, lpFlag As Long) As Long
    Public Declare PtrSafe Function tarvelin_limit_event Lib "TARVELIN.DLL" Alias "tarvelin_limit_event" (ByVal hBoard As LongPtr, lpFlag As Long) As Long
    Public Declare PtrSafe Function tarvelin_period Lib "TARVELIN.DLL" Alias "tarvelin_period" (ByVal hBoard As LongPtr, lpValue As Long) As Long
    Public Declare PtrSafe Function tarvelin_io485_initialize Lib "TARVELIN.DLL" Alias "tarvelin_io485_initialize" (ByVal hBoard As LongPtr) As Long
    Public Declare PtrSafe Function tarvelin_io485_reset Lib "TARVELIN.DLL" Alias "tarvelin_io485_reset" (ByVal hBoard As LongPtr, lpValue As Long) As Long
    Public Declare PtrSafe Function tarvelin_io485_address Lib "TARVELIN.DLL" Alias "tarvelin_io485_address" (ByVal hBoard As LongPtr, ByVal nAddress As Long, ByVal nSelector As Long, _
        ByVal nBroadcast As Long) As Long
#Else
    Public Declare Function PortOpen Lib "TARVELIN.DLL" Alias "PortOpen" (ByVal nPort As Long) As Long
    Public Declare Function PortConfigure Lib "TARVELIN.DLL" Alias "PortConfigure" (ByVal nPort As Long, ByVal nBaudRate As Long) As Long
    Public Declare Function PortClose Lib "TARVELIN.DLL" Alias "PortClose" () As Long
    Public Declare Function GetPort Lib "TARVELIN.DLL" Alias "GetPort" () As Long
    Public Declare Function GetBaudRate Lib "TARVELIN.DLL" Alias "GetBaudRate" () As Long
    Public Declare Function ChangeBaudRate Lib "TARVELIN.DLL" Alias "ChangeBaudRate" (ByVal nBaudRate As Long) As Long
    ' GetDLLVersion and GetErrorMessage return a pointer to the library's text: use the Vb variants.
    Public Declare Function GetDLLVersion Lib "TARVELIN.DLL" Alias "GetDLLVersion" () As Long
    Public Declare Function GetDLLVersionVb Lib "TARVELIN.DLL" Alias "GetDLLVersionVb" (ByVal lpBuffer As String) As Long
    Public Declare Function WriteCommand Lib "TARVELIN.DLL" Alias "WriteCommand" (ByVal lpCommand As String) As Long
    Public Declare Function GetValue Lib "TARVELIN.DLL" Alias "GetValue" () As Long
    Public Declare Function GetError Lib "TARVELIN.DLL" Alias "GetError" () As Long
    Public Declare Function GetErrorMessage Lib "TARVELIN.DLL" Alias "GetErrorMessage" () As Long
    Public Declare Function GetErrorMessageVb Lib "TARVELIN.DLL" Alias "GetErrorMessageVb" (ByVal lpBuffer As String) As Long
    Public Declare Function IntStatusL Lib "TARVELIN.DLL" Alias "IntStatusL" () As Long
    Public Declare Function ADCAnalog Lib "TARVELIN.DLL" Alias "ADCAnalog" (ByVal nResolution As Long, ByVal nChannel As Long) As Long
    Public Declare Function ReadADCM2 Lib "TARVELIN.DLL" Alias "ReadADCM2" (ByVal nMode As Long) As Long
    ' firstValue: pass values(0) of an array of channels x samples Longs; nothing checks its size.
    Public Declare Function ADCAnalogSampling Lib "TARVELIN.DLL" Alias "ADCAnalogSampling" (ByVal nResolution As Long, ByVal nChannelMask As Long, ByVal nRateCode As Long, _
        ByVal nSampleCount As Long, ByVal nGOption As Long, firstValue As Long) As Long
    ' lpValueArray: an array of Long with the indices 0 to channels x samples - 1 (ReDim values(0 To n - 1)),
    ' filled from index 0; any other is refused with code 28 before anything is sent.
    Public Declare Function ADCAnalogSamplingVb Lib "TARVELIN.DLL" Alias "ADCAnalogSamplingVb" (ByVal nResolution As Long, ByVal nChannelMask As Long, ByVal nRateCode As Long, _
        ByVal nSampleCount As Long, ByVal nGOption As Long, lpValueArray() As Long) As Long
    Public Declare Function IOPortRead Lib "TARVELIN.DLL" Alias "IOPortRead" (ByVal nPort As Long) As Long
    Public Declare Function IOPortWrite Lib "TARVELIN.DLL" Alias "IOPortWrite" (ByVal nPort As Long, ByVal nValue As Long) As Long
    Public Declare Function MotorGo Lib "TARVELIN.DLL" Alias "MotorGo" (ByVal nChar1 As Long, ByVal nChar2 As Long, ByVal nNumber1 As Long, _
        ByVal nNumber2 As Long, ByVal nNumber3 As Long, ByVal nNumber4 As Long) As Long
    Public Declare Function MotorStop Lib "TARVELIN.DLL" Alias "MotorStop" () As Long
    Public Declare Function MotorCounterReset Lib "TARVELIN.DLL" Alias "MotorCounterReset" () As Long
    Public Declare Function GetMotorCounter Lib "TARVELIN.DLL" Alias "GetMotorCounter" () As Long
    Public Declare Function GetMotorFlag Lib "TARVELIN.DLL" Alias "GetMotorFlag" () As Long
    Public Declare Function DisableMotor Lib "TARVELIN.DLL" Alias "DisableMotor" () As Long
    Public Declare Function SetPWMFrequency Lib "TARVELIN.DLL" Alias "SetPWMFrequency" (ByVal nFrequency As Long, ByVal nDutyCycle As Long, ByVal nPulses As Long) As Long
    Public Declare Function GetPWMOutputCounter Lib "TARVELIN.DLL" Alias "GetPWMOutputCounter" () As Long
    Public Declare Function GetPWMFinishFlag Lib "TARVELIN.DLL" Alias "GetPWMFinishFlag" () As Long
    Public Declare Function GetPeriod Lib "TARVELIN.DLL" Alias "GetPeriod" () As Long
    Public Declare Function IO485Address Lib "TARVELIN.DLL" Alias "IO485Address" (ByVal nAddress As Long, ByVal nSelector As Long, ByVal nBroadcast As Long) As Long
    Public Declare Function IO485Initialize Lib "TARVELIN.DLL" Alias "IO485Initialize" () As Long
    Public Declare Function ResetIO485Network Lib "TARVELIN.DLL" Alias "ResetIO485Network" () As Long
    ' Boards by handle: every function returns 0 (TARVELIN_OK) or an error code. Keep the handle in a Long;
    ' lpPort is "COM3" or "3". After a failed open, TarvelinBoardErrorText(0) tells why.
    Public Declare Function tarvelin_open Lib "TARVELIN.DLL" Alias "tarvelin_open" (ByVal lpPort As String, ByVal nBaudRate As Long, phBoard As Long) As Long
    Public Declare Function tarvelin_close Lib "TARVELIN.DLL" Alias "tarvelin_close" (ByVal hBoard As Long) As Long
    Public Declare Function tarvelin_cancel Lib "TARVELIN.DLL" Alias "tarvelin_cancel" (ByVal hBoard As Long) As Long
    ' lpBuffer: a String of nSize characters, e.g. String$(256, vbNullChar); TarvelinBoardErrorText does this.
    Public Declare Function tarvelin_error_text Lib "TARVELIN.DLL" Alias "tarvelin_error_text" (ByVal hBoard As Long, ByVal lpBuffer As String, ByVal nSize As Long) As Long
    ' Returns a pointer to the library's text.
    Public Declare Function tarvelin_code_text Lib "TARVELIN.DLL" Alias "tarvelin_code_text" (ByVal nCode As Long) As Long
    Public Declare Function tarvelin_command Lib "TARVELIN.DLL" Alias "tarvelin_command" (ByVal hBoard As Long, ByVal lpCommand As String, lpValue As Long) As Long
    Public Declare Function tarvelin_set_baud_rate Lib "TARVELIN.DLL" Alias "tarvelin_set_baud_rate" (ByVal hBoard As Long, ByVal nBaudRate As Long) As Long
    Public Declare Function tarvelin_port_read Lib "TARVELIN.DLL" Alias "tarvelin_port_read" (ByVal hBoard As Long, ByVal nPort As Long, lpValue As Long) As Long
    Public Declare Function tarvelin_port_write Lib "TARVELIN.DLL" Alias "tarvelin_port_write" (ByVal hBoard As Long, ByVal nPort As Long, ByVal nValue As Long) As Long
    Public Declare Function tarvelin_adc Lib "TARVELIN.DLL" Alias "tarvelin_adc" (ByVal hBoard As Long, ByVal nResolution As Long, ByVal nChannel As Long, _
        lpValue As Long) As Long
    Public Declare Function tarvelin_adc_m2 Lib "TARVELIN.DLL" Alias "tarvelin_adc_m2" (ByVal hBoard As Long, ByVal nMode As Long, lpValue As Long) As Long
    ' firstValue: values(0) of an array of nCapacity Longs. lpProgress: 0, or AddressOf a Function in a standard module:
    ' Function OnProgress(ByVal lpContext As Long, ByVal nReceived As Long, ByVal nTotal As Long) As Long, 0 to go on, nonzero to cancel (code 92).
    Public Declare Function tarvelin_sample Lib "TARVELIN.DLL" Alias "tarvelin_sample" (ByVal hBoard As Long, ByVal nResolution As Long, ByVal nChannelMask As Long, _
        ByVal nRateCode As Long, ByVal nSampleCount As Long, firstValue As Long, _
        ByVal nCapacity As Long, ByVal lpProgress As Long, ByVal lpContext As Long, _
        lpCount As Long) As Long
    Public Declare Function tarvelin_motor_go Lib "TARVELIN.DLL" Alias "tarvelin_motor_go" (ByVal hBoard As Long, ByVal nChar1 As Long, ByVal nChar2 As Long, _
        ByVal nNumber1 As Long, ByVal nNumber2 As Long, ByVal nNumber3 As Long, _
        ByVal nNumber4 As Long) As Long
    Public Declare Function tarvelin_motor_stop Lib "TARVELIN.DLL" Alias "tarvelin_motor_stop" (ByVal hBoard As Long) As Long
    Public Declare Function tarvelin_motor_counter_reset Lib "TARVELIN.DLL" Alias "tarvelin_motor_counter_reset" (ByVal hBoard As Long) As Long
    Public Declare Function tarvelin_motor_counter Lib "TARVELIN.DLL" Alias "tarvelin_motor_counter" (ByVal hBoard As Long, lpValue As Long) As Long
    Public Declare Function tarvelin_motor_flag Lib "TARVELIN.DLL" Alias "tarvelin_motor_flag" (ByVal hBoard As Long, lpValue As Long) As Long
    Public Declare Function tarvelin_motor_disable Lib "TARVELIN.DLL" Alias "tarvelin_motor_disable" (ByVal hBoard As Long, lpValue As Long) As Long
    Public Declare Function tarvelin_pwm_set Lib "TARVELIN.DLL" Alias "tarvelin_pwm_set" (ByVal hBoard As Long, ByVal nFrequency As Long, ByVal nDutyCycle As Long, _
        ByVal nPulses As Long) As Long
    Public Declare Function tarvelin_pwm_counter Lib "TARVELIN.DLL" Alias "tarvelin_pwm_counter" (ByVal hBoard As Long, lpValue As Long) As Long
    Public Declare Function tarvelin_pwm_finished Lib "TARVELIN.DLL" Alias "tarvelin_pwm_finished" (ByVal hBoard As Long, lpFlag As Long) As Long
    Public Declare Function tarvelin_limit_event Lib "TARVELIN.DLL" Alias "tarvelin_limit_event" (ByVal hBoard As Long, lpFlag As Long) As Long
    Public Declare Function tarvelin_period Lib "TARVELIN.DLL" Alias "tarvelin_period" (ByVal hBoard As Long, lpValue As Long) As Long
    Public Declare Function tarvelin_io485_initialize Lib "TARVELIN.DLL" Alias "tarvelin_io485_initialize" (ByVal hBoard As Long) As Long
    Public Declare Function tarvelin_io485_reset Lib "TARVELIN.DLL" Alias "tarvelin_io485_reset" (ByVal hBoard As Long, lpValue As Long) As Long
    Public Declare Function tarvelin_io485_address Lib "TARVELIN.DLL" Alias "tarvelin_io485_address" (ByVal hBoard As Long, ByVal nAddress As Long, ByVal nSelector As Long, _
        ByVal nBroadcast As Long) As Long
#End If
' --- end of generated declarations ---

' Windows functions the helpers below use (private to this module).
#If VBA7 Then
    Private Declare PtrSafe Function TvLoadLibrary Lib "kernel32" Alias "LoadLibraryA" (ByVal lpFileName As String) As LongPtr
    Private Declare PtrSafe Function TvSetEnvironmentVariable Lib "kernel32" Alias "SetEnvironmentVariableA" (ByVal lpName As String, ByVal lpValue As String) As Long
    Private Declare PtrSafe Function TvQueryDosDevice Lib "kernel32" Alias "QueryDosDeviceA" (ByVal lpDeviceName As String, ByVal lpTargetPath As String, ByVal nMax As Long) As Long
#Else
    Private Declare Function TvLoadLibrary Lib "kernel32" Alias "LoadLibraryA" (ByVal lpFileName As String) As Long
    Private Declare Function TvSetEnvironmentVariable Lib "kernel32" Alias "SetEnvironmentVariableA" (ByVal lpName As String, ByVal lpValue As String) As Long
    Private Declare Function TvQueryDosDevice Lib "kernel32" Alias "QueryDosDeviceA" (ByVal lpDeviceName As String, ByVal lpTargetPath As String, ByVal nMax As Long) As Long
#End If

Private tvLoadMessage As String

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
Public Const TARVELIN_E_BAD_HANDLE As Long = 90
Public Const TARVELIN_E_BAD_ARGUMENT As Long = 91
Public Const TARVELIN_E_CANCELLED As Long = 92
' --- end of the error codes

' The text of the last error (GetErrorMessageVb fills a String of at least 152 characters).
Public Function TarvelinErrorText() As String
    Dim tvBuffer As String
    tvBuffer = String$(160, vbNullChar)
    If GetErrorMessageVb(tvBuffer) <> 1 Then Exit Function
    TarvelinErrorText = Left$(tvBuffer, InStr(tvBuffer, vbNullChar) - 1)
End Function

' The text of a board's last failure (tarvelin_error_text); hBoard 0: why this
' thread's last tarvelin_open failed, naming the device and the system's reason.
#If VBA7 Then
Public Function TarvelinBoardErrorText(ByVal hBoard As LongPtr) As String
#Else
Public Function TarvelinBoardErrorText(ByVal hBoard As Long) As String
#End If
    Dim tvBuffer As String
    tvBuffer = String$(512, vbNullChar)
    If tarvelin_error_text(hBoard, tvBuffer, Len(tvBuffer)) <> 0 Then Exit Function
    TarvelinBoardErrorText = Left$(tvBuffer, InStr(tvBuffer, vbNullChar) - 1)
End Function

' The library's version text (GetDLLVersionVb fills a String of at least 25 characters).
Public Function TarvelinVersion() As String
    Dim tvBuffer As String
    tvBuffer = String$(32, vbNullChar)
    If GetDLLVersionVb(tvBuffer) <> 1 Then Exit Function
    TarvelinVersion = Left$(tvBuffer, InStr(tvBuffer, vbNullChar) - 1)
End Function

' Loads TARVELIN.DLL by its full path: tvPackageFolder is the folder of the
' unpacked package (the one holding x86 and x64). Once loaded, every Declare
' below finds it. Call it before the first call, e.g. in Workbook_Open; False
' with TarvelinLoadError() when the file is missing or of the wrong width.
Public Function TarvelinLoad(ByVal tvPackageFolder As String) As Boolean
    Dim tvPath As String
    tvPath = tvPackageFolder
    If Right$(tvPath, 1) <> "\" Then tvPath = tvPath & "\"
#If Win64 Then
    tvPath = tvPath & "x64\TARVELIN.DLL"
#Else
    tvPath = tvPath & "x86\TARVELIN.DLL"
#End If
    If TvLoadLibrary(tvPath) = 0 Then
        tvLoadMessage = "Cannot load " & tvPath & " (Windows error " & Err.LastDllError & _
            ": 126 the file is missing, 193 it is the DLL of the other width)"
        TarvelinLoad = False
    Else
        tvLoadMessage = ""
        TarvelinLoad = True
    End If
End Function

' Why the last TarvelinLoad failed ("" after a success).
Public Function TarvelinLoadError() As String
    TarvelinLoadError = tvLoadMessage
End Function

' Turns the library's informational message boxes (the value of a 12-bit
' ADCAnalog, the command of ADCAnalogSampling) into debugger output, for this
' process, from the next call on. TarvelinQuiet False turns them on again.
Public Sub TarvelinQuiet(Optional ByVal tvQuiet As Boolean = True)
    If tvQuiet Then
        TvSetEnvironmentVariable "TARVELIN_MESSAGEBOX", "0"
    Else
        TvSetEnvironmentVariable "TARVELIN_MESSAGEBOX", vbNullString
    End If
End Sub

' The COM ports Windows knows, as "COM1 COM5" (lowest first); "" when none.
' Device Manager, "Ports (COM & LPT)", shows which adapter is which.
Public Function TarvelinComPorts() As String
    Dim tvNames As String, tvLength As Long, tvAt As Long, tvFinish As Long, tvEntry As String
    Dim tvFound(1 To 256) As Boolean, tvN As Long, tvList As String
    tvNames = String$(65536, vbNullChar)
    tvLength = TvQueryDosDevice(vbNullString, tvNames, Len(tvNames))
    tvAt = 1
    Do While tvAt <= tvLength
        tvFinish = InStr(tvAt, tvNames, vbNullChar)
        If tvFinish = 0 Or tvFinish = tvAt Then Exit Do
        tvEntry = Mid$(tvNames, tvAt, tvFinish - tvAt)
        If UCase$(Left$(tvEntry, 3)) = "COM" And Len(tvEntry) > 3 And Len(tvEntry) <= 6 Then
            If IsNumeric(Mid$(tvEntry, 4)) And InStr(tvEntry, ".") = 0 Then
                tvN = CLng(Mid$(tvEntry, 4))
                If tvN >= 1 And tvN <= 256 Then tvFound(tvN) = True
            End If
        End If
        tvAt = tvFinish + 1
    Loop
    For tvN = 1 To 256
        If tvFound(tvN) Then tvList = tvList & IIf(Len(tvList) > 0, " ", "") & "COM" & tvN
    Next tvN
    TarvelinComPorts = tvList
End Function

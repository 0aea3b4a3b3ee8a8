/* TARVELIN: driver library for the I/O controller board on a serial COM port.
 *
 * Every function uses the Windows API calling convention on Windows (the callee
 * removes the arguments; every argument is one 32-bit slot) and plain C linkage
 * elsewhere. Results: 1 or the value read on success, -1 on failure; the reason
 * of a failure is read with GetError and GetErrorMessage. */
#ifndef TARVELIN_H
#define TARVELIN_H

#include <stdint.h>

#if defined(_WIN32)
#define TARVELIN_CALL __stdcall
#define TARVELIN_API
#elif defined(TARVELIN_BUILD)
#define TARVELIN_CALL
#define TARVELIN_API __attribute__((visibility("default")))
#else
#define TARVELIN_CALL
#define TARVELIN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Connection and baud rate */
TARVELIN_API int32_t TARVELIN_CALL PortOpen(int32_t port);
TARVELIN_API int32_t TARVELIN_CALL PortConfigure(int32_t port, int32_t baudRate);
TARVELIN_API int32_t TARVELIN_CALL PortClose(void);
TARVELIN_API int32_t TARVELIN_CALL GetPort(void);
TARVELIN_API int32_t TARVELIN_CALL GetBaudRate(void);
TARVELIN_API int32_t TARVELIN_CALL ChangeBaudRate(int32_t baudRate);
TARVELIN_API const char* TARVELIN_CALL GetDLLVersion(void);
TARVELIN_API int32_t TARVELIN_CALL GetDLLVersionVb(char* buffer); /* at least 25 bytes */

/* Commands and error reporting */
TARVELIN_API int32_t TARVELIN_CALL WriteCommand(const char* command); /* at most 62 characters */
TARVELIN_API int32_t TARVELIN_CALL GetValue(void);
TARVELIN_API int32_t TARVELIN_CALL GetError(void);
TARVELIN_API const char* TARVELIN_CALL GetErrorMessage(void);
TARVELIN_API int32_t TARVELIN_CALL GetErrorMessageVb(char* buffer); /* at least 152 bytes */
TARVELIN_API int32_t TARVELIN_CALL IntStatusL(void);

/* Analog input: single conversions (resolution 8, 10 or 12 bits, channel 0..14)
 * and block sampling of the channels in bits 0..10 of the mask into an array of
 * channel count x sample count values, or into a Visual Basic safe array of
 * 32-bit integers (valueArray points to the SAFEARRAY pointer). */
struct tagSAFEARRAY;
TARVELIN_API int32_t TARVELIN_CALL ADCAnalog(int32_t resolution, int32_t channel);
TARVELIN_API int32_t TARVELIN_CALL ReadADCM2(int32_t mode);
TARVELIN_API int32_t TARVELIN_CALL ADCAnalogSampling(int32_t resolution, int32_t channelMask, int32_t rateCode,
                                                     int32_t sampleCount, int32_t gOption, int32_t* values);
TARVELIN_API int32_t TARVELIN_CALL ADCAnalogSamplingVb(int32_t resolution, int32_t channelMask, int32_t rateCode,
                                                       int32_t sampleCount, int32_t gOption,
                                                       struct tagSAFEARRAY** valueArray);

/* Digital ports: letter A, B, C, D or S (either case, low byte of the argument), value -1..255 */
TARVELIN_API int32_t TARVELIN_CALL IOPortRead(int32_t port);
TARVELIN_API int32_t TARVELIN_CALL IOPortWrite(int32_t port, int32_t value);

/* Stepper motor: MotorGo sends "S", both characters (low bytes) and the four numbers;
   a character below 32 or 127 is refused with code 34 and nothing is sent */
TARVELIN_API int32_t TARVELIN_CALL MotorGo(int32_t first, int32_t second, int32_t number1, int32_t number2,
                                           int32_t number3, int32_t number4);
TARVELIN_API int32_t TARVELIN_CALL MotorStop(void);
TARVELIN_API int32_t TARVELIN_CALL MotorCounterReset(void);
TARVELIN_API int32_t TARVELIN_CALL GetMotorCounter(void);
TARVELIN_API int32_t TARVELIN_CALL GetMotorFlag(void);
TARVELIN_API int32_t TARVELIN_CALL DisableMotor(void);

/* PWM output and period: frequency 15..15000, duty cycle 0..100, pulses 0..16000000 */
TARVELIN_API int32_t TARVELIN_CALL SetPWMFrequency(int32_t frequency, int32_t dutyCycle, int32_t pulses);
TARVELIN_API int32_t TARVELIN_CALL GetPWMOutputCounter(void);
TARVELIN_API int32_t TARVELIN_CALL GetPWMFinishFlag(void); /* 1 once per end of run, else 0 */
TARVELIN_API int32_t TARVELIN_CALL GetPeriod(void);

/* I/O-485 network: address 0..31, IC selector 0..3, broadcast 0 or 1 */
TARVELIN_API int32_t TARVELIN_CALL IO485Address(int32_t address, int32_t selector, int32_t broadcast);
TARVELIN_API int32_t TARVELIN_CALL IO485Initialize(void);
TARVELIN_API int32_t TARVELIN_CALL ResetIO485Network(void);

#ifdef __cplusplus
}
#endif

#endif /* TARVELIN_H */

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

#ifdef __cplusplus
}
#endif

#endif /* TARVELIN_H */

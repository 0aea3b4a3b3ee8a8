/* A host program that links TARVELIN.DLL through an import library, as a C
 * program built against include/tarvelin.h does: every export is called
 * through its stdcall prototype (PortOpen@4 on i686), so the import library
 * must map each decorated reference to the undecorated name the DLL exports.
 *
 * It is built twice per architecture: with mingw gcc against libtarvelin.dll.a,
 * and with clang for the MSVC target, linked by lld-link against TARVELIN.lib
 * (TARVELIN_CLIENT_NO_CRT: no C runtime, only a few KERNEL32 calls).
 *
 *   tarvelin_client.exe <port>   PortOpen, GetDLLVersion, WriteCommand("PRB"),
 *                                GetValue, PortClose on COM<port>
 *
 * It references every export, so that its import table shows how the import
 * library binds each one, and the loader refuses to start it if the DLL lacks
 * any of them. Prints one line per check and "client: N passed, N failed,
 * N calls"; exits nonzero on any failure. */
#include "tarvelin.h"
#include "tarvelin_version.h"

/* The few KERNEL32 calls used, declared here: the MSVC build has no SDK headers. */
typedef void* ClientHandle;
__declspec(dllimport) ClientHandle __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(ClientHandle file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) char* __stdcall GetCommandLineA(void);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
#define CLIENT_STD_OUTPUT ((unsigned long)-11)

#define VERSION_TEXT " Dorvik DLL version " TARVELIN_VERSION_SHORT

/* Every export by its address, each a reference resolved by the import library.
 * Read through volatile, so that the table and its references stay in the program. */
typedef void (*AnyExport)(void);
static AnyExport const volatile kByPrototype[] = {
    (AnyExport)PortClose, (AnyExport)PortConfigure, (AnyExport)PortOpen, (AnyExport)ChangeBaudRate,
    (AnyExport)WriteCommand, (AnyExport)GetErrorMessageVb, (AnyExport)GetBaudRate,
    (AnyExport)GetError, (AnyExport)GetErrorMessage, (AnyExport)GetPort, (AnyExport)GetValue,
    (AnyExport)IntStatusL, (AnyExport)GetPWMFinishFlag, (AnyExport)SetPWMFrequency,
    (AnyExport)IOPortWrite, (AnyExport)ADCAnalog, (AnyExport)IOPortRead,
    (AnyExport)ADCAnalogSampling, (AnyExport)MotorGo, (AnyExport)MotorStop,
    (AnyExport)MotorCounterReset, (AnyExport)GetMotorCounter, (AnyExport)GetDLLVersion,
    (AnyExport)GetMotorFlag, (AnyExport)DisableMotor, (AnyExport)ResetIO485Network,
    (AnyExport)IO485Initialize, (AnyExport)IO485Address, (AnyExport)GetPeriod,
    (AnyExport)ADCAnalogSamplingVb, (AnyExport)GetPWMOutputCounter, (AnyExport)GetDLLVersionVb,
    (AnyExport)ReadADCM2,
    /* Boards by handle. */
    (AnyExport)tarvelin_open, (AnyExport)tarvelin_close, (AnyExport)tarvelin_cancel,
    (AnyExport)tarvelin_error_text, (AnyExport)tarvelin_code_text, (AnyExport)tarvelin_command,
    (AnyExport)tarvelin_set_baud_rate, (AnyExport)tarvelin_port_read,
    (AnyExport)tarvelin_port_write, (AnyExport)tarvelin_adc, (AnyExport)tarvelin_adc_m2,
    (AnyExport)tarvelin_sample, (AnyExport)tarvelin_motor_go, (AnyExport)tarvelin_motor_stop,
    (AnyExport)tarvelin_motor_counter_reset, (AnyExport)tarvelin_motor_counter,
    (AnyExport)tarvelin_motor_flag, (AnyExport)tarvelin_motor_disable, (AnyExport)tarvelin_pwm_set,
    (AnyExport)tarvelin_pwm_counter, (AnyExport)tarvelin_pwm_finished,
    (AnyExport)tarvelin_limit_event, (AnyExport)tarvelin_period,
    (AnyExport)tarvelin_io485_initialize, (AnyExport)tarvelin_io485_reset,
    (AnyExport)tarvelin_io485_address,
};
#define EXPORT_COUNT ((int)(sizeof kByPrototype / sizeof kByPrototype[0]))
_Static_assert(EXPORT_COUNT == 59, "every export, the classic 33 and the 26 by handle");

static int g_passed;
static int g_failed;
static int g_calls;

/* Output without a C runtime: a line is built in a fixed buffer, then written. */
static char g_line[256];
static int g_length;

static void Put(const char* text) {
  while (text != 0 && *text != '\0' && g_length < (int)sizeof g_line - 2) g_line[g_length++] = *text++;
}

static void PutNumber(long value) {
  char digits[24];
  int count = 0;
  unsigned long magnitude = value < 0 ? 0UL - (unsigned long)value : (unsigned long)value;
  if (value < 0) Put("-");
  do {
    digits[count++] = (char)('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0 && count < (int)sizeof digits);
  while (count > 0 && g_length < (int)sizeof g_line - 2) g_line[g_length++] = digits[--count];
}

static void EndLine(void) {
  unsigned long written = 0;
  g_line[g_length++] = '\n';
  WriteFile(GetStdHandle(CLIENT_STD_OUTPUT), g_line, (unsigned long)g_length, &written, 0);
  g_length = 0;
}

static int Check(int ok, const char* what, long value) {
  Put(ok ? "ok   client " : "FAIL client ");
  Put(what);
  Put(" = ");
  PutNumber(value);
  EndLine();
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
  }
  return ok;
}

static void Why(void) {
  ++g_calls;
  long code = (long)GetError();
  ++g_calls;
  const char* message = GetErrorMessage();
  Put("     error ");
  PutNumber(code);
  Put(" \"");
  Put(message);
  Put("\"");
  EndLine();
}

static int SameText(const char* a, const char* b) {
  if (a == 0) return 0;
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

/* The COM port number: the last word of the command line. */
static long PortArgument(const char* line) {
  const char* last = 0;
  for (const char* p = line; p != 0 && *p != '\0'; ++p) {
    if (*p != ' ' && *p != '\t' && *p != '"' && (p == line || p[-1] == ' ' || p[-1] == '\t')) last = p;
  }
  long port = 0;
  int digits = 0;
  for (const char* p = last; p != 0 && *p >= '0' && *p <= '9' && digits < 4; ++p, ++digits) {
    port = port * 10 + (*p - '0');
  }
  if (last == line || digits == 0 || port < 1 || port > 255) return 0;
  return port;
}

static int RunClient(void) {
  /* Two names bound to one address would mean the import library merged them. */
  int distinct = 0;
  for (int i = 0; i < EXPORT_COUNT; ++i) {
    int unique = kByPrototype[i] != 0;
    for (int j = 0; j < i && unique; ++j) unique = kByPrototype[j] != kByPrototype[i];
    distinct += unique;
  }
  Check(distinct == EXPORT_COUNT, "exports bound to distinct addresses", distinct);

  long port = PortArgument(GetCommandLineA());
  if (port == 0) {
    Put("usage: tarvelin_client.exe <COM port number 1..255>");
    EndLine();
    return 2;
  }

  ++g_calls;
  const char* version = GetDLLVersion();
  Check(SameText(version, VERSION_TEXT), "GetDLLVersion() is \"" VERSION_TEXT "\"", version != 0);

  ++g_calls;
  long result = (long)PortOpen((int32_t)port);
  if (!Check(result == 1, "PortOpen(port)", result)) {
    Why();
  } else {
    ++g_calls;
    result = (long)WriteCommand("PRB");
    if (Check(result == 1, "WriteCommand(\"PRB\")", result)) {
      ++g_calls;
      result = (long)GetValue();
      Check(result == 255, "GetValue() (255: port B at power-on)", result);
    } else {
      Why();
    }
    ++g_calls;
    result = (long)PortClose();
    Check(result == 1, "PortClose()", result);
  }

  Put("client: ");
  PutNumber(g_passed);
  Put(" passed, ");
  PutNumber(g_failed);
  Put(" failed, ");
  PutNumber(g_calls);
  Put(" calls");
  EndLine();
  return g_failed == 0 ? 0 : 1;
}

#ifdef TARVELIN_CLIENT_NO_CRT
/* The entry point lld-link is given: there is no C runtime to call main. */
void ClientStart(void);
void ClientStart(void) { ExitProcess((unsigned int)RunClient()); }
#else
int main(void) { return RunClient(); }
#endif

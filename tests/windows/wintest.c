/* Windows test program for TARVELIN.DLL.
 *
 *   tarvelin_wintest.exe          resolve every export by name and by ordinal
 *   tarvelin_wintest.exe <port>   also run a session against the board on COM<port>
 *
 * The DLL is loaded at run time, exactly as a host application (or a Visual
 * Basic Declare) finds it: by module name from the program's folder. Prints
 * one line per check and "N passed, N failed"; exits nonzero on any failure. */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <oleauto.h> /* the safe array of the Visual Basic variant */

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tarvelin.h"

#define VERSION_TEXT " Dorvik DLL version 3.51"

/* Every export, one line each: name and its fixed ordinal. */
static const struct {
  const char* name;
  WORD ordinal;
} kExports[] = {
    {"PortClose", 1},
    {"PortConfigure", 2},
    {"PortOpen", 3},
    {"ChangeBaudRate", 8},
    {"WriteCommand", 9},
    {"GetErrorMessageVb", 11},
    {"GetBaudRate", 12},
    {"GetError", 13},
    {"GetErrorMessage", 14},
    {"GetPort", 15},
    {"GetValue", 16},
    {"IntStatusL", 19},
    {"GetPWMFinishFlag", 20},
    {"SetPWMFrequency", 21},
    {"IOPortWrite", 23},
    {"ADCAnalog", 24},
    {"IOPortRead", 25},
    {"ADCAnalogSampling", 26},
    {"MotorGo", 27},
    {"MotorStop", 28},
    {"MotorCounterReset", 29},
    {"GetMotorCounter", 30},
    {"GetDLLVersion", 31},
    {"GetMotorFlag", 32},
    {"DisableMotor", 33},
    {"ResetIO485Network", 34},
    {"IO485Initialize", 35},
    {"IO485Address", 36},
    {"GetPeriod", 37},
    {"ADCAnalogSamplingVb", 38},
    {"GetPWMOutputCounter", 39},
    {"GetDLLVersionVb", 40},
    {"ReadADCM2", 41},
};
#define EXPORT_COUNT (sizeof kExports / sizeof kExports[0])

/* Slots of the export table that stay empty for good. */
static const WORD kEmptyOrdinals[] = {4, 5, 6, 7, 10, 17, 18, 22};

typedef void (*AnyProc)(void);

static HMODULE g_dll;
static AnyProc g_proc[EXPORT_COUNT];
static int g_passed;
static int g_failed;

static int Check(int ok, const char* format, ...) __attribute__((format(printf, 2, 3)));

static int Check(int ok, const char* format, ...) {
  va_list args;
  va_start(args, format);
  printf("%s ", ok ? "ok  " : "FAIL");
  vprintf(format, args);
  printf("\n");
  va_end(args);
  fflush(stdout);
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
  }
  return ok;
}

static AnyProc Lookup(const char* name) {
  for (size_t i = 0; i < EXPORT_COUNT; ++i) {
    if (strcmp(kExports[i].name, name) == 0) {
      return g_proc[i];
    }
  }
  fprintf(stderr, "wintest: %s is not in the export table of this program\n", name);
  exit(3);
}

/* A typed pointer to an export, by the prototype of the public header. The
 * header's declarations are only used for their types; nothing links to them. */
#define CALL(name) ((__typeof__(&name))Lookup(#name))

static int ResolveExports(void) {
  int all = 1;
  for (size_t i = 0; i < EXPORT_COUNT; ++i) {
    FARPROC byName = GetProcAddress(g_dll, kExports[i].name);
    FARPROC byOrdinal = GetProcAddress(g_dll, MAKEINTRESOURCEA(kExports[i].ordinal));
    int ok = Check(byName != NULL && byName == byOrdinal, "%-18s by name %p, by ordinal %2u %p",
                   kExports[i].name, (void*)(UINT_PTR)byName, (unsigned)kExports[i].ordinal,
                   (void*)(UINT_PTR)byOrdinal);
    g_proc[i] = ok ? (AnyProc)byName : NULL;
    all = all && ok;
  }
  for (size_t i = 0; i < sizeof kEmptyOrdinals / sizeof kEmptyOrdinals[0]; ++i) {
    Check(GetProcAddress(g_dll, MAKEINTRESOURCEA(kEmptyOrdinals[i])) == NULL,
          "ordinal %u is an empty slot", (unsigned)kEmptyOrdinals[i]);
  }
  Check(GetProcAddress(g_dll, "QelCommand") == NULL, "internal routine QelCommand is not exported");
  return all;
}

/* The last error as the library reports it, for the failure lines. */
static const char* Why(void) {
  static char text[256];
  const char* message = CALL(GetErrorMessage)();
  snprintf(text, sizeof text, "error %ld \"%s\"", (long)CALL(GetError)(),
           message != NULL ? message : "(null)");
  return text;
}

static void VersionChecks(void) {
  const char* first = CALL(GetDLLVersion)();
  Check(first != NULL && strcmp(first, VERSION_TEXT) == 0, "GetDLLVersion() = \"%s\"",
        first != NULL ? first : "(null)");
  const char* second = CALL(GetDLLVersion)();
  Check(second == first, "GetDLLVersion() returns the same storage each time");

  char buffer[40];
  memset(buffer, 'Z', sizeof buffer);
  int32_t result = CALL(GetDLLVersionVb)(buffer);
  int copied = memcmp(buffer, VERSION_TEXT, sizeof VERSION_TEXT) == 0;
  int untouched = 1;
  for (size_t i = sizeof VERSION_TEXT; i < sizeof buffer; ++i) {
    untouched = untouched && buffer[i] == 'Z';
  }
  Check(result == 1 && copied && untouched,
        "GetDLLVersionVb(buffer) = %ld, writes exactly the %u bytes of the text and its NUL",
        (long)result, (unsigned)sizeof VERSION_TEXT);
}

static void Session(int32_t port) {
  DWORD start = GetTickCount();

  int32_t value = CALL(GetPort)();
  Check(value == 1, "GetPort() before any open = %ld (1)", (long)value);
  value = CALL(GetBaudRate)();
  Check(value == 9600, "GetBaudRate() before any open = %ld (9600)", (long)value);
  value = CALL(GetError)();
  const char* message = CALL(GetErrorMessage)();
  Check(value == 0 && message != NULL && message[0] == '\0',
        "GetError() = %ld and GetErrorMessage() empty before any operation", (long)value);

  DWORD tick = GetTickCount();
  value = CALL(PortOpen)(port);
  if (!Check(value == 1, "PortOpen(%ld) = %ld (%lu ms)", (long)port, (long)value,
             (unsigned long)(GetTickCount() - tick))) {
    printf("     %s\n", Why());
    return;
  }
  value = CALL(GetPort)();
  Check(value == port, "GetPort() = %ld", (long)value);
  value = CALL(GetBaudRate)();
  Check(value == 9600, "GetBaudRate() = %ld (9600)", (long)value);

  tick = GetTickCount();
  value = CALL(WriteCommand)("PRB");
  if (Check(value == 1, "WriteCommand(\"PRB\") = %ld (%lu ms)", (long)value,
            (unsigned long)(GetTickCount() - tick))) {
    value = CALL(GetValue)();
    Check(value == 255, "GetValue() = %ld (255: port B of the board at start)", (long)value);
    value = CALL(GetError)();
    Check(value == -1, "GetError() after a successful command = %ld (-1)", (long)value);
    char buffer[8];
    memset(buffer, 'Z', sizeof buffer);
    value = CALL(GetErrorMessageVb)(buffer);
    Check(value == 1 && buffer[0] == '\0' && buffer[1] == 'Z',
          "GetErrorMessageVb(buffer) = %ld, copies a single NUL", (long)value);
  } else {
    printf("     %s\n", Why());
  }

  /* The flag is cleared by reading it: a second read right after gives 0. */
  CALL(IntStatusL)();
  value = CALL(IntStatusL)();
  Check(value == 0, "IntStatusL() read twice = %ld (0)", (long)value);

  tick = GetTickCount();
  value = CALL(ChangeBaudRate)(19200);
  if (Check(value == 1, "ChangeBaudRate(19200) = %ld (%lu ms)", (long)value,
            (unsigned long)(GetTickCount() - tick))) {
    value = CALL(GetBaudRate)();
    Check(value == 19200, "GetBaudRate() = %ld (19200)", (long)value);
  } else {
    printf("     %s\n", Why());
  }

  tick = GetTickCount();
  value = CALL(WriteCommand)("PRB");
  if (Check(value == 1, "WriteCommand(\"PRB\") at the new rate = %ld (%lu ms)", (long)value,
            (unsigned long)(GetTickCount() - tick))) {
    value = CALL(GetValue)();
    Check(value == 255, "GetValue() = %ld (255)", (long)value);
  } else {
    printf("     %s\n", Why());
  }

  /* One export of each family: port A made an output, written and read back; the
   * stepper at rest; the period input's measurement. */
  value = CALL(WriteCommand)("PCA255");
  int32_t wrote = CALL(IOPortWrite)('a', 170);
  int32_t readBack = CALL(IOPortRead)('A');
  if (!Check(value == 1 && wrote == 1 && readBack == 170,
             "WriteCommand(\"PCA255\") = %ld, IOPortWrite('a', 170) = %ld, IOPortRead('A') = %ld (1, 1, 170)",
             (long)value, (long)wrote, (long)readBack)) {
    printf("     %s\n", Why());
  }
  value = CALL(GetMotorFlag)();
  if (!Check(value == 0, "GetMotorFlag() = %ld (0: the stepper at rest)", (long)value)) {
    printf("     %s\n", Why());
  }
  value = CALL(GetPeriod)();
  if (!Check(value == 2000, "GetPeriod() = %ld (2000)", (long)value)) {
    printf("     %s\n", Why());
  }

  /* Analog input: a 10-bit conversion, and a block of 2 channels x 10 samples
   * into a safe array as a Visual Basic caller passes it (filled with -1 first,
   * so that a value left unwritten shows). */
  tick = GetTickCount();
  value = CALL(ADCAnalog)(10, 3);
  if (!Check(value >= 0 && value <= 1023, "ADCAnalog(10, 3) = %ld (0..1023, %lu ms)", (long)value,
             (unsigned long)(GetTickCount() - tick))) {
    printf("     %s\n", Why());
  }
  SAFEARRAYBOUND bound = {20, 0};
  SAFEARRAY* samples = SafeArrayCreate(VT_I4, 1, &bound);
  if (Check(samples != NULL, "SafeArrayCreate(VT_I4, 1, 20 elements from 0)")) {
    LONG index;
    int32_t sample = -1;
    for (index = 0; index < 20; ++index) SafeArrayPutElement(samples, &index, &sample);
    tick = GetTickCount();
    value = CALL(ADCAnalogSamplingVb)(10, 3, 0, 10, 0, &samples);
    int inRange = 1;
    for (index = 0; index < 20; ++index) {
      sample = -1;
      inRange = inRange && SafeArrayGetElement(samples, &index, &sample) == S_OK && sample >= 0 && sample <= 1023;
    }
    if (!Check(value == 1 && inRange,
               "ADCAnalogSamplingVb(10, 3, 0, 10, 0, 20-element array) = %ld, values 0..1023 (%lu ms)",
               (long)value, (unsigned long)(GetTickCount() - tick))) {
      printf("     %s\n", Why());
    }
    SafeArrayDestroy(samples);
  }

  /* The I/O-485 network: initialized, module 2 selected, its register written and
   * read back in the network's answer mode, then the ordinary answer mode again. */
  tick = GetTickCount();
  value = CALL(IO485Initialize)();
  if (Check(value == 1, "IO485Initialize() = %ld (%lu ms)", (long)value,
            (unsigned long)(GetTickCount() - tick))) {
    value = CALL(IO485Address)(2, 1, 0);
    Check(value == 1, "IO485Address(2, 1, 0) = %ld", (long)value);
    int32_t written = CALL(WriteCommand)("PWB7");
    int32_t read = CALL(WriteCommand)("PRB");
    value = CALL(GetValue)();
    if (!Check(written == 1 && read == 1 && value == 7, "module 2: PWB7, PRB reads %ld (7)", (long)value)) {
      printf("     %s\n", Why());
    }
  } else {
    printf("     %s\n", Why());
  }
  value = CALL(WriteCommand)("CRAD");
  Check(value == 1, "WriteCommand(\"CRAD\") back to the ordinary answer mode = %ld", (long)value);

  tick = GetTickCount();
  value = CALL(PortClose)();
  Check(value == 1, "PortClose() = %ld (%lu ms)", (long)value,
        (unsigned long)(GetTickCount() - tick));

  value = CALL(PortClose)();
  int32_t code = CALL(GetError)();
  Check(value == -1 && code == 35, "PortClose() again = %ld, GetError() = %ld (-1, 35)",
        (long)value, (long)code);
  value = CALL(WriteCommand)("PRB");
  code = CALL(GetError)();
  Check(value == -1 && code == 25, "WriteCommand(\"PRB\") after close = %ld, GetError() = %ld (-1, 25)",
        (long)value, (long)code);

  printf("session: %lu ms\n", (unsigned long)(GetTickCount() - start));
}

int main(int argc, char** argv) {
  setvbuf(stdout, NULL, _IONBF, 0);
  g_dll = LoadLibraryA("TARVELIN.DLL");
  if (g_dll == NULL) {
    printf("FAIL LoadLibraryA(\"TARVELIN.DLL\"): system error %lu\n", (unsigned long)GetLastError());
    printf("0 passed, 1 failed\n");
    return 1;
  }
  int resolved = ResolveExports();
  if (resolved) {
    VersionChecks();
    if (argc > 1) {
      char* end = NULL;
      long port = strtol(argv[1], &end, 10);
      if (end == argv[1] || *end != '\0' || port < 1 || port > 255) {
        fprintf(stderr, "usage: %s [COM port number 1..255]\n", argv[0]);
        return 2;
      }
      Session((int32_t)port);
    } else {
      printf("no COM port given: exports only\n");
    }
  } else {
    printf("exports missing: the session is not run\n");
  }
  Check(FreeLibrary(g_dll) != 0, "FreeLibrary");
  printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}

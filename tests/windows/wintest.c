/* Windows test program for TARVELIN.DLL.
 *
 *   tarvelin_wintest.exe                 resolve every export by name and by ordinal
 *   tarvelin_wintest.exe [options] <port>
 *                                        also run every family against the board on COM<port>
 *     --silent-port N    COM<N> reaches a board that never answers (code 26)
 *     --closed-port N    COM<N> cannot be opened (code 36)
 *     --release-probe    unload the DLL with the port open and ask the host whether
 *                        any process still holds the port (see AskHost)
 *
 * The DLL is loaded at run time, exactly as a host application (or a Visual
 * Basic Declare) finds it: by module name from the program's folder. Prints
 * one line per check, "calls: N" (calls made into the DLL) and "N passed,
 * N failed"; exits nonzero on any failure. */
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
#include "tarvelin_version.h"

#define VERSION_TEXT " Dorvik DLL version " TARVELIN_VERSION_SHORT

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
    {"tarvelin_open", 42},
    {"tarvelin_close", 43},
    {"tarvelin_cancel", 44},
    {"tarvelin_error_text", 45},
    {"tarvelin_code_text", 46},
    {"tarvelin_command", 47},
    {"tarvelin_set_baud_rate", 48},
    {"tarvelin_port_read", 49},
    {"tarvelin_port_write", 50},
    {"tarvelin_adc", 51},
    {"tarvelin_adc_m2", 52},
    {"tarvelin_sample", 53},
    {"tarvelin_motor_go", 54},
    {"tarvelin_motor_stop", 55},
    {"tarvelin_motor_counter_reset", 56},
    {"tarvelin_motor_counter", 57},
    {"tarvelin_motor_flag", 58},
    {"tarvelin_motor_disable", 59},
    {"tarvelin_pwm_set", 60},
    {"tarvelin_pwm_counter", 61},
    {"tarvelin_pwm_finished", 62},
    {"tarvelin_limit_event", 63},
    {"tarvelin_period", 64},
    {"tarvelin_io485_initialize", 65},
    {"tarvelin_io485_reset", 66},
    {"tarvelin_io485_address", 67},
};
#define EXPORT_COUNT (sizeof kExports / sizeof kExports[0])

/* Slots of the export table that stay empty for good. */
static const WORD kEmptyOrdinals[] = {4, 5, 6, 7, 10, 17, 18, 22};

/* Longest wait for an event of the board (a limit, a PWM run's end): far beyond
 * the tens of milliseconds the motions and runs below take. */
#define EVENT_WAIT_MS 5000
/* Longest wait for the host's answer to a release probe. */
#define PROBE_WAIT_MS 15000

typedef void (*AnyProc)(void);

static HMODULE g_dll;
static AnyProc g_proc[EXPORT_COUNT];
static int g_passed;
static int g_failed;
static long g_calls;
static unsigned g_called[EXPORT_COUNT];

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

/* The export's address, counted as one call into the DLL. */
static AnyProc Lookup(const char* name) {
  for (size_t i = 0; i < EXPORT_COUNT; ++i) {
    if (strcmp(kExports[i].name, name) == 0) {
      if (g_proc[i] == NULL) {
        fprintf(stderr, "wintest: %s is not resolved\n", name);
        exit(3);
      }
      ++g_calls;
      ++g_called[i];
      return g_proc[i];
    }
  }
  fprintf(stderr, "wintest: %s is not in the export table of this program\n", name);
  exit(3);
}

/* A typed pointer to an export, by the prototype of the public header. The
 * header's declarations are only used for their types; nothing links to them. */
#define CALL(name) ((__typeof__(&name))Lookup(#name))

/* Resolves every export by name and by ordinal; prints each when verbose. */
static int ResolveExports(int verbose) {
  int all = 1;
  for (size_t i = 0; i < EXPORT_COUNT; ++i) {
    FARPROC byName = GetProcAddress(g_dll, kExports[i].name);
    FARPROC byOrdinal = GetProcAddress(g_dll, MAKEINTRESOURCEA(kExports[i].ordinal));
    int ok = byName != NULL && byName == byOrdinal;
    if (verbose || !ok) {
      Check(ok, "%-19s by name %p, by ordinal %2u %p", kExports[i].name, (void*)(UINT_PTR)byName,
            (unsigned)kExports[i].ordinal, (void*)(UINT_PTR)byOrdinal);
    }
    g_proc[i] = ok ? (AnyProc)byName : NULL;
    all = all && ok;
  }
  if (!verbose) return all;
  for (size_t i = 0; i < sizeof kEmptyOrdinals / sizeof kEmptyOrdinals[0]; ++i) {
    Check(GetProcAddress(g_dll, MAKEINTRESOURCEA(kEmptyOrdinals[i])) == NULL,
          "ordinal %u is an empty slot", (unsigned)kEmptyOrdinals[i]);
  }
  Check(GetProcAddress(g_dll, MAKEINTRESOURCEA(68)) == NULL, "ordinal 68 is beyond the table");
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

/* Checks that a call failed with -1 and the given error code. */
static void CheckFails(int32_t value, int32_t code, const char* what) {
  int32_t actual = CALL(GetError)();
  const char* message = CALL(GetErrorMessage)();
  Check(value == -1 && actual == code, "%s = %ld, GetError() = %ld \"%s\" (-1, %ld)", what, (long)value,
        (long)actual, message != NULL ? message : "(null)", (long)code);
}

/* Checks a call that must succeed with a given value; prints the error otherwise. */
static void CheckValue(int32_t value, int32_t expected, const char* what) {
  if (!Check(value == expected, "%s = %ld (%ld)", what, (long)value, (long)expected)) {
    printf("     %s\n", Why());
  }
}

static unsigned long Since(DWORD tick) { return (unsigned long)(GetTickCount() - tick); }

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

/* One value of a file's version resource as Windows reads it (US English,
 * Windows Latin-1, the block both resources use); "" when it has none. */
static void VersionValue(const char* file, const char* key, char* out, size_t size) {
  out[0] = '\0';
  DWORD ignored = 0;
  DWORD length = GetFileVersionInfoSizeA(file, &ignored);
  char* info = length > 0 ? malloc(length) : NULL;
  if (info == NULL) return;
  char path[96];
  void* value = NULL;
  UINT valueLength = 0;
  snprintf(path, sizeof path, "\\StringFileInfo\\040904E4\\%s", key);
  if (GetFileVersionInfoA(file, 0, length, info) && VerQueryValueA(info, path, &value, &valueLength) &&
      valueLength > 0) {
    snprintf(out, size, "%s", (const char*)value);
  }
  free(info);
}

/* The version resources of the DLL and of tarvelin.exe beside this program:
 * the project's version, holder and copyright, as a file's Details show them. */
static void ResourceChecks(void) {
  char folder[MAX_PATH];
  DWORD length = GetModuleFileNameA(NULL, folder, sizeof folder);
  while (length > 0 && folder[length - 1] != '\\') --length;
  folder[length] = '\0';
  const char* files[] = {"TARVELIN.DLL", "tarvelin.exe"};
  for (size_t i = 0; i < sizeof files / sizeof files[0]; ++i) {
    char file[MAX_PATH + 16], version[64], company[128], copyright[160];
    snprintf(file, sizeof file, "%s%s", folder, files[i]);
    VersionValue(file, "FileVersion", version, sizeof version);
    VersionValue(file, "CompanyName", company, sizeof company);
    VersionValue(file, "LegalCopyright", copyright, sizeof copyright);
    Check(strcmp(version, TARVELIN_VERSION_STRING) == 0 && strcmp(company, TARVELIN_COMPANY) == 0 &&
              strcmp(copyright, TARVELIN_COPYRIGHT) == 0,
          "%s: version resource \"%s\", \"%s\", \"%s\"", files[i], version, company, copyright);
  }
}

/* Connection, commands and the error state, and the baud-rate change. */
static int ConnectionChecks(int32_t port) {
  int32_t value = CALL(GetPort)();
  Check(value == 1, "GetPort() before any open = %ld (1)", (long)value);
  value = CALL(GetBaudRate)();
  Check(value == 9600, "GetBaudRate() before any open = %ld (9600)", (long)value);
  value = CALL(GetError)();
  const char* message = CALL(GetErrorMessage)();
  Check(value == 0 && message != NULL && message[0] == '\0',
        "GetError() = %ld and GetErrorMessage() empty before any operation", (long)value);
  CheckFails(CALL(WriteCommand)("PRB"), 25, "WriteCommand(\"PRB\") before any open");

  DWORD tick = GetTickCount();
  value = CALL(PortOpen)(port);
  if (!Check(value == 1, "PortOpen(%ld) = %ld (%lu ms)", (long)port, (long)value, Since(tick))) {
    printf("     %s\n", Why());
    return 0;
  }
  value = CALL(GetPort)();
  Check(value == port, "GetPort() = %ld", (long)value);
  value = CALL(GetBaudRate)();
  Check(value == 9600, "GetBaudRate() = %ld (9600)", (long)value);

  tick = GetTickCount();
  value = CALL(WriteCommand)("PRB");
  if (Check(value == 1, "WriteCommand(\"PRB\") = %ld (%lu ms)", (long)value, Since(tick))) {
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
  /* A command the board does not know: its device error 1 comes back with its text. */
  CheckFails(CALL(WriteCommand)("XYZ"), 1, "WriteCommand(\"XYZ\")");
  char buffer[200];
  memset(buffer, 0, sizeof buffer);
  value = CALL(GetErrorMessageVb)(buffer);
  const char* text = CALL(GetErrorMessage)();
  Check(value == 1 && text != NULL && strcmp(buffer, text) == 0 && strstr(text, "XYZ") != NULL,
        "GetErrorMessageVb(buffer) copies \"%s\"", buffer);

  /* Opening again on the same port closes the channel first and starts afresh. */
  value = CALL(PortConfigure)(port, 9600);
  CheckValue(value, 1, "PortConfigure(port, 9600)");
  CheckValue(CALL(WriteCommand)("PRB"), 1, "WriteCommand(\"PRB\") after PortConfigure");

  /* The flag is cleared by reading it: a second read right after gives 0. */
  CALL(IntStatusL)();
  value = CALL(IntStatusL)();
  Check(value == 0, "IntStatusL() read twice = %ld (0)", (long)value);

  tick = GetTickCount();
  value = CALL(ChangeBaudRate)(19200);
  if (Check(value == 1, "ChangeBaudRate(19200) = %ld (%lu ms)", (long)value, Since(tick))) {
    value = CALL(GetBaudRate)();
    Check(value == 19200, "GetBaudRate() = %ld (19200)", (long)value);
  } else {
    printf("     %s\n", Why());
  }
  tick = GetTickCount();
  value = CALL(WriteCommand)("PRB");
  if (Check(value == 1, "WriteCommand(\"PRB\") at the new rate = %ld (%lu ms)", (long)value, Since(tick))) {
    value = CALL(GetValue)();
    Check(value == 255, "GetValue() = %ld (255)", (long)value);
  } else {
    printf("     %s\n", Why());
  }
  return 1;
}

/* Digital ports: port A made an output, written and read back; the argument checks. */
static void DigitalChecks(void) {
  int32_t value = CALL(WriteCommand)("PCA255");
  int32_t wrote = CALL(IOPortWrite)('a', 170);
  int32_t readBack = CALL(IOPortRead)('A');
  if (!Check(value == 1 && wrote == 1 && readBack == 170,
             "WriteCommand(\"PCA255\") = %ld, IOPortWrite('a', 170) = %ld, IOPortRead('A') = %ld (1, 1, 170)",
             (long)value, (long)wrote, (long)readBack)) {
    printf("     %s\n", Why());
  }
  CheckFails(CALL(IOPortWrite)('A', 256), 80, "IOPortWrite('A', 256)");
  CheckFails(CALL(IOPortWrite)('E', 1), 81, "IOPortWrite('E', 1)");
  CheckFails(CALL(IOPortRead)('E'), 4, "IOPortRead('E')");
}

/* Waits for a flag export (IntStatusL, GetPWMFinishFlag) to report 1; the
 * milliseconds waited, or -1. */
static long WaitForFlag(const char* name) {
  typedef int32_t(TARVELIN_CALL * FlagProc)(void);
  DWORD start = GetTickCount();
  do {
    if (((FlagProc)Lookup(name))() == 1) return (long)Since(start);
    Sleep(5);
  } while (Since(start) < EVENT_WAIT_MS);
  return -1;
}

/* The stepper: a short motion to its end (the limit event), a long one stopped. */
static void StepperChecks(void) {
  CheckValue(CALL(MotorCounterReset)(), 1, "MotorCounterReset()");
  CheckValue(CALL(GetMotorFlag)(), 0, "GetMotorFlag() (0: the stepper at rest)");
  CALL(IntStatusL)();
  CheckValue(CALL(MotorGo)('F', 'X', 40, 1000, 0, 0), 1, "MotorGo('F', 'X', 40, 1000, 0, 0)");
  long waited = WaitForFlag("IntStatusL");
  Check(waited >= 0, "IntStatusL() = 1 after the motion's end of travel (%ld ms)", waited);
  CheckValue(CALL(GetMotorFlag)(), 0, "GetMotorFlag() after the motion");
  CheckValue(CALL(GetMotorCounter)(), 40, "GetMotorCounter()");

  CheckValue(CALL(MotorGo)('R', 'X', 1000000, 100, 0, 0), 1, "MotorGo('R', 'X', 1000000, 100, 0, 0)");
  CheckValue(CALL(GetMotorFlag)(), 1, "GetMotorFlag() while it runs");
  CheckFails(CALL(MotorCounterReset)(), 14, "MotorCounterReset() while it runs");
  CheckValue(CALL(MotorStop)(), 1, "MotorStop()");
  CheckValue(CALL(GetMotorFlag)(), 0, "GetMotorFlag() after MotorStop");
  int32_t counter = CALL(GetMotorCounter)();
  Check(counter <= 40 && counter > 40 - 1000000, "GetMotorCounter() = %ld (counted down from 40)",
        (long)counter);
  CheckValue(CALL(DisableMotor)(), counter, "DisableMotor() (the counter where it stopped)");
  CheckFails(CALL(MotorStop)(), 13, "MotorStop() when disabled");
  CheckValue(CALL(MotorCounterReset)(), 1, "MotorCounterReset()");
  CheckValue(CALL(GetMotorCounter)(), 0, "GetMotorCounter() after the reset");
}

/* The PWM output: a run of 20 pulses to its end event; the period input. */
static void PwmChecks(void) {
  CheckFails(CALL(SetPWMFrequency)(10, 50, 20), 60, "SetPWMFrequency(10, 50, 20)");
  CheckFails(CALL(SetPWMFrequency)(1000, 101, 20), 61, "SetPWMFrequency(1000, 101, 20)");
  CheckFails(CALL(SetPWMFrequency)(1000, 50, 16000001), 62, "SetPWMFrequency(1000, 50, 16000001)");
  CALL(GetPWMFinishFlag)();
  CheckValue(CALL(SetPWMFrequency)(1000, 50, 20), 1, "SetPWMFrequency(1000, 50, 20)");
  long waited = WaitForFlag("GetPWMFinishFlag");
  Check(waited >= 0, "GetPWMFinishFlag() = 1 after the run's end (%ld ms)", waited);
  CheckValue(CALL(GetPWMFinishFlag)(), 0, "GetPWMFinishFlag() read again");
  CheckValue(CALL(GetPWMOutputCounter)(), 20, "GetPWMOutputCounter()");
  CheckValue(CALL(GetPeriod)(), 2000, "GetPeriod()");
}

/* Fills a safe array of 32-bit integers with -1, so that a value left unwritten shows. */
static void FillSafeArray(SAFEARRAY* array, LONG count) {
  int32_t marker = -1;
  for (LONG index = 0; index < count; ++index) SafeArrayPutElement(array, &index, &marker);
}

/* Analog input: single conversions at every width (12 bits through the message
 * box), port S's 10-bit reading, and blocks into an array and a safe array. */
static void AnalogChecks(void) {
  /* Channel 14 of the board is a constant 3/4 of full scale. */
  CheckValue(CALL(ADCAnalog)(10, 14), 768, "ADCAnalog(10, 14)");
  DWORD tick = GetTickCount();
  int32_t value = CALL(ADCAnalog)(12, 14);
  if (!Check(value == 3072, "ADCAnalog(12, 14) = %ld (3072), its message box returned (%lu ms)", (long)value,
             Since(tick))) {
    printf("     %s\n", Why());
  }
  value = CALL(ADCAnalog)(8, 3);
  Check(value >= 0 && value <= 255, "ADCAnalog(8, 3) = %ld (0..255)", (long)value);
  CheckFails(CALL(ADCAnalog)(8, 14), 50, "ADCAnalog(8, 14)");
  CheckFails(CALL(ADCAnalog)(9, 3), 60, "ADCAnalog(9, 3)");
  CheckFails(CALL(ADCAnalog)(10, 15), 61, "ADCAnalog(10, 15)");

  value = CALL(ReadADCM2)(0);
  if (!Check(value >= 0 && value <= 1023, "ReadADCM2(0) = %ld (0..1023)", (long)value)) printf("     %s\n", Why());
  value = CALL(ReadADCM2)(1);
  if (!Check(value >= 0 && value <= 1023, "ReadADCM2(1) = %ld (0..1023)", (long)value)) printf("     %s\n", Why());
  CheckValue(CALL(ReadADCM2)(5), 5, "ReadADCM2(5) (a mode without a pattern)");

  /* A block of channels 0 and 1 x 8 samples into a plain array, one slot spare. */
  int32_t values[17];
  for (size_t i = 0; i < sizeof values / sizeof values[0]; ++i) values[i] = -1;
  tick = GetTickCount();
  value = CALL(ADCAnalogSampling)(12, 3, 2, 8, 0, values);
  int inRange = 1;
  for (size_t i = 0; i < 16; ++i) inRange = inRange && values[i] >= 0 && values[i] <= 4095;
  if (!Check(value == 1 && inRange && values[16] == -1,
             "ADCAnalogSampling(12, 3, 2, 8, 0, array) = %ld, 16 values 0..4095, nothing beyond (%lu ms)",
             (long)value, Since(tick))) {
    printf("     %s\n", Why());
  }
  CheckFails(CALL(ADCAnalogSampling)(12, 3, 2, 8, 0, NULL), 28, "ADCAnalogSampling(..., NULL)");

  /* The Visual Basic variant: a safe array made by SafeArrayCreate, as VB passes it. */
  SAFEARRAYBOUND bound = {20, 0};
  SAFEARRAY* samples = SafeArrayCreate(VT_I4, 1, &bound);
  if (Check(samples != NULL, "SafeArrayCreate(VT_I4, 1, 20 elements from 0)")) {
    FillSafeArray(samples, 20);
    tick = GetTickCount();
    value = CALL(ADCAnalogSamplingVb)(10, 3, 0, 10, 0, &samples);
    inRange = 1;
    for (LONG index = 0; index < 20; ++index) {
      int32_t sample = -1;
      inRange = inRange && SafeArrayGetElement(samples, &index, &sample) == S_OK && sample >= 0 && sample <= 1023;
    }
    if (!Check(value == 1 && inRange,
               "ADCAnalogSamplingVb(10, 3, 0, 10, 0, 20-element array) = %ld, values 0..1023 (%lu ms)",
               (long)value, Since(tick))) {
      printf("     %s\n", Why());
    }
    SafeArrayDestroy(samples);
  }
  SAFEARRAYBOUND bounds[2] = {{4, 0}, {5, 0}};
  SAFEARRAY* square = SafeArrayCreate(VT_I4, 2, bounds);
  if (Check(square != NULL, "SafeArrayCreate(VT_I4, 2 dimensions)")) {
    CheckFails(CALL(ADCAnalogSamplingVb)(10, 3, 0, 10, 0, &square), 28, "ADCAnalogSamplingVb(2-dimensional array)");
    SafeArrayDestroy(square);
  }
  /* Singles have 4-byte elements too: the array's own type tells them from Longs. */
  SAFEARRAY* singles = SafeArrayCreate(VT_R4, 1, &bound);
  if (Check(singles != NULL, "SafeArrayCreate(VT_R4, 1, 20 elements)")) {
    CheckFails(CALL(ADCAnalogSamplingVb)(10, 3, 0, 10, 0, &singles), 28, "ADCAnalogSamplingVb(array of singles)");
    SafeArrayDestroy(singles);
  }
  SAFEARRAY* doubles = SafeArrayCreate(VT_R8, 1, &bound);
  if (Check(doubles != NULL, "SafeArrayCreate(VT_R8, 1, 20 elements)")) {
    CheckFails(CALL(ADCAnalogSamplingVb)(10, 3, 0, 10, 0, &doubles), 28, "ADCAnalogSamplingVb(array of doubles)");
    SafeArrayDestroy(doubles);
  }

  /* Indices 0..19 must lie within the array: one from 1 and one of 19 elements
   * are refused before anything is sent. Port D holds 5 throughout: a sampling
   * that had begun would have set it to 0 first. */
  SAFEARRAYBOUND fromOne = {20, 1}, tooShort = {19, 0};
  SAFEARRAY* misfits[2] = {SafeArrayCreate(VT_I4, 1, &fromOne), SafeArrayCreate(VT_I4, 1, &tooShort)};
  const char* labels[2] = {"ADCAnalogSamplingVb(10, 3, 0, 10, 0, array 1 To 20)",
                           "ADCAnalogSamplingVb(10, 3, 0, 10, 0, array 0 To 18)"};
  CheckValue(CALL(WriteCommand)("PWD5"), 1, "WriteCommand(\"PWD5\")");
  for (int i = 0; i < 2; ++i) {
    if (!Check(misfits[i] != NULL, "SafeArrayCreate for %s", labels[i])) continue;
    value = CALL(ADCAnalogSamplingVb)(10, 3, 0, 10, 0, &misfits[i]);
    const char* message = CALL(GetErrorMessage)();
    Check(value == -1 && CALL(GetError)() == 28 && message != NULL &&
              strncmp(message, "The array for the sampled values needs the indices 0 to 19 ", 59) == 0,
          "%s = %ld, 28 \"%s\"", labels[i], (long)value, message != NULL ? message : "(null)");
    SafeArrayDestroy(misfits[i]);
  }
  CheckValue(CALL(IOPortRead)('D'), 5, "IOPortRead('D') after the refused samplings (nothing sent)");
  CheckValue(CALL(WriteCommand)("PWD128"), 1, "WriteCommand(\"PWD128\")");
}

/* The I/O-485 network: module 2 written and read back in the network's answer
 * mode; the argument checks; the reset (from 19200 baud), which clears the
 * modules, returns to 9600 baud and ends in the network's answer mode. */
static void Io485Checks(void) {
  CheckFails(CALL(IO485Address)(32, 0, 0), 30, "IO485Address(32, 0, 0)");
  CheckFails(CALL(IO485Address)(2, 4, 0), 31, "IO485Address(2, 4, 0)");
  CheckFails(CALL(IO485Address)(2, 1, 2), 32, "IO485Address(2, 1, 2)");

  DWORD tick = GetTickCount();
  int32_t value = CALL(IO485Initialize)();
  if (Check(value == 1, "IO485Initialize() = %ld (%lu ms)", (long)value, Since(tick))) {
    CheckValue(CALL(IO485Address)(2, 1, 0), 1, "IO485Address(2, 1, 0)");
    int32_t written = CALL(WriteCommand)("PWB7");
    int32_t read = CALL(WriteCommand)("PRB");
    value = CALL(GetValue)();
    if (!Check(written == 1 && read == 1 && value == 7, "module 2: PWB7, PRB reads %ld (7)", (long)value)) {
      printf("     %s\n", Why());
    }
  } else {
    printf("     %s\n", Why());
  }
  /* The reset starts with a broadcast selection and returns to 9600 baud, whose
   * probe (PRB) the network cannot answer in its own answer mode. */
  CheckValue(CALL(WriteCommand)("CRAD"), 1, "WriteCommand(\"CRAD\") back to the ordinary answer mode");

  tick = GetTickCount();
  value = CALL(ResetIO485Network)();
  if (Check(value == 1, "ResetIO485Network() = %ld (%lu ms)", (long)value, Since(tick))) {
    CheckValue(CALL(GetBaudRate)(), 9600, "GetBaudRate() after the reset");
    CheckValue(CALL(IO485Address)(2, 1, 0), 1, "IO485Address(2, 1, 0)");
    int32_t read = CALL(WriteCommand)("PRB");
    value = CALL(GetValue)();
    if (!Check(read == 1 && value == 0, "module 2 after the reset: PRB reads %ld (0)", (long)value)) {
      printf("     %s\n", Why());
    }
  } else {
    printf("     %s\n", Why());
  }
  CheckValue(CALL(WriteCommand)("CRAD"), 1, "WriteCommand(\"CRAD\") back to the ordinary answer mode");
  CheckValue(CALL(WriteCommand)("PRB"), 1, "WriteCommand(\"PRB\") at 9600 baud");
}

static void CloseChecks(void) {
  DWORD tick = GetTickCount();
  int32_t value = CALL(PortClose)();
  Check(value == 1, "PortClose() = %ld (%lu ms)", (long)value, Since(tick));
  CheckFails(CALL(PortClose)(), 35, "PortClose() again");
  CheckFails(CALL(WriteCommand)("PRB"), 25, "WriteCommand(\"PRB\") after close");
}

static int32_t TARVELIN_CALL CountProgress(void* context, int32_t received, int32_t total) {
  (void)received;
  (void)total;
  ++*(int*)context;
  return 0;
}

/* The same board through a handle: its own calls, progress, refused handles. */
static void HandleChecks(int32_t port) {
  char name[16];
  snprintf(name, sizeof name, "COM%ld", (long)port);
  tarvelin_board* board = NULL;
  int32_t code = CALL(tarvelin_open)(name, 9600, &board);
  if (!Check(code == 0 && board != NULL, "tarvelin_open(\"%s\") = %ld", name, (long)code)) return;
  int32_t value = -1;
  code = CALL(tarvelin_port_read)(board, 'B', &value);
  Check(code == 0 && value >= 0, "tarvelin_port_read(B) = %ld, value %ld", (long)code, (long)value);
  int32_t values[40];
  int32_t count = 0;
  int calls = 0;
  code = CALL(tarvelin_sample)(board, 10, 3, 0, 20, values, 40, CountProgress, &calls, &count);
  Check(code == 0 && count == 40 && calls >= 1, "tarvelin_sample(2 x 20) = %ld, %ld values, %d progress calls",
        (long)code, (long)count, calls);
  Check(CALL(tarvelin_close)(board) == 0, "tarvelin_close");
  Check(CALL(tarvelin_port_read)(board, 'B', &value) == 90, "a closed handle is refused with 90");
  Check(CALL(tarvelin_open)("COM250", 9600, &board) == 36, "tarvelin_open(a port that is not there) = 36");
}

/* A message-only window of its own class, as a form or a timer of the host
 * would be; Unicode when asked. NULL when it could not be made. */
static HWND MessageWindow(const wchar_t* className, WNDPROC procedure, int unicode) {
  if (unicode) {
    WNDCLASSW windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = className;
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
  }
  char narrow[64];
  WideCharToMultiByte(CP_ACP, 0, className, -1, narrow, sizeof narrow, NULL, NULL);
  WNDCLASSA windowClass;
  memset(&windowClass, 0, sizeof windowClass);
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = GetModuleHandleA(NULL);
  windowClass.lpszClassName = narrow;
  RegisterClassA(&windowClass);
  return CreateWindowExA(0, narrow, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
}

/* What a window procedure does while a G-option sampling waits: reads the
 * state, is refused a command, and stops the sampling with PortClose. */
static struct {
  int ran;
  int32_t error;
  int32_t limit;
  int32_t refused;
  int32_t refusedCode;
  int32_t closed;
} g_window;

static LRESULT CALLBACK StopButtonProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_APP) return DefWindowProcA(window, message, wParam, lParam);
  g_window.ran = 1;
  g_window.error = CALL(GetError)();
  g_window.limit = CALL(IntStatusL)();
  g_window.refused = CALL(WriteCommand)("PRB");
  g_window.refusedCode = CALL(GetError)();
  g_window.closed = CALL(PortClose)();
  return 0;
}

/* A double-clicked "Stop" while a long G-option block streams in: the first
 * close runs from a timer, the second click reaches the window through that
 * close's own message pumping and finds the port closed. */
static struct {
  int32_t closed;
  unsigned long closeMs;
  int32_t nested;
  int32_t nestedCode;
} g_stop;

static LRESULT CALLBACK DoubleStopProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_TIMER) {
    KillTimer(window, 1);
    PostMessageA(window, WM_APP + 2, 0, 0);
    DWORD tick = GetTickCount();
    g_stop.closed = CALL(PortClose)();
    g_stop.closeMs = Since(tick);
    return 0;
  }
  if (message == WM_APP + 2) {
    g_stop.nested = CALL(PortClose)();
    g_stop.nestedCode = CALL(GetError)();
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

static void DoubleStopChecks(int32_t port) {
  HWND window = MessageWindow(L"TarvelinDoubleStop", DoubleStopProc, 0);
  if (!Check(window != NULL, "a message-only window for the double-clicked stop")) return;
  CheckValue(CALL(PortOpen)(port), 1, "PortOpen(port) for the streaming G-option sampling");
  static int32_t values[4000];
  g_stop.nested = 0;
  SetTimer(window, 1, 400, NULL);
  DWORD tick = GetTickCount();
  int32_t value = CALL(ADCAnalogSampling)(10, 1, 2, 4000, 1, values);
  unsigned long took = Since(tick);
  int32_t code = CALL(GetError)();
  Check(value == -1 && code == 38, "the stop ended the streaming sampling: %ld, code %ld (%lu ms)", (long)value,
        (long)code, took);
  Check(g_stop.closed == 1 && g_stop.closeMs < 1000, "PortClose from the timer = %ld within a second (%lu ms)",
        (long)g_stop.closed, g_stop.closeMs);
  Check(g_stop.nested == -1 && g_stop.nestedCode == 35, "the second click's PortClose found it closed: %ld, code %ld",
        (long)g_stop.nested, (long)g_stop.nestedCode);
  DestroyWindow(window);
  Sleep(5500);  /* the board finishes the block it was asked for before it hears commands again */
}

/* A Unicode window served by the library's pumping gets its keystrokes whole:
 * a character outside the ANSI code page is not turned into "?". */
static WPARAM g_unicodeChar;

static LRESULT CALLBACK UnicodeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CHAR) {
    g_unicodeChar = wParam;
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

static void UnicodeWindowChecks(int32_t port) {
  HWND window = MessageWindow(L"TarvelinUnicode", UnicodeProc, 1);
  if (!Check(window != NULL && IsWindowUnicode(window), "a Unicode message-only window")) return;
  CheckValue(CALL(PortOpen)(port), 1, "PortOpen(port) for a sampling that serves a Unicode window");
  int32_t values[2];
  g_unicodeChar = 0;
  PostMessageW(window, WM_CHAR, 0x4E2D, 0);
  CheckValue(CALL(ADCAnalogSampling)(10, 1, 2, 2, 1, values), 1, "ADCAnalogSampling with the G option");
  Check(g_unicodeChar == 0x4E2D, "the Unicode window got U+4E2D from the library's pumping (U+%04lX)",
        (unsigned long)g_unicodeChar);
  CheckValue(CALL(PortClose)(), 1, "PortClose()");
  DestroyWindow(window);
}

/* Handles made per load are given back at unload: a host that loads, opens,
 * and unloads the DLL again and again keeps a steady handle count. Wine's
 * GetProcessHandleCount says 0, so the handles are counted one by one. */
static unsigned long CountHandles(void) {
  unsigned long count = 0;
  for (uintptr_t value = 4; value < 0x10000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation((HANDLE)value, &flags)) ++count;
  }
  return count;
}

static void CycleChecks(int32_t port, int cycles) {
  if (g_dll != NULL) FreeLibrary(g_dll);
  g_dll = NULL;
  memset(g_proc, 0, sizeof g_proc);
  unsigned long early = 0;
  int ok = 1;
  for (int i = 0; i < cycles && ok; ++i) {
    HMODULE dll = LoadLibraryA("TARVELIN.DLL");
    FARPROC openAddress = dll != NULL ? GetProcAddress(dll, "PortOpen") : NULL;
    FARPROC closeAddress = dll != NULL ? GetProcAddress(dll, "PortClose") : NULL;
    int32_t(__stdcall * open)(int32_t) = NULL;
    int32_t(__stdcall * close)(void) = NULL;
    memcpy(&open, &openAddress, sizeof open);
    memcpy(&close, &closeAddress, sizeof close);
    ok = open != NULL && close != NULL && open(port) == 1 && close() == 1;
    if (dll != NULL) FreeLibrary(dll);
    ok = ok && GetModuleHandleA("TARVELIN.DLL") == NULL;
    if (i == 4) early = CountHandles();
  }
  const unsigned long late = CountHandles();
  Check(ok, "%d cycles of LoadLibrary, PortOpen, PortClose, FreeLibrary (unloaded each time)", cycles);
  Check(late <= early + 3, "handles after cycle 5: %lu, after cycle %d: %lu", early, cycles, late);
}

static void MessageChecks(int32_t port) {
  HWND window = MessageWindow(L"TarvelinStopButton", StopButtonProc, 0);
  if (Check(window != NULL, "a message-only window for the stop button")) {
    CheckValue(CALL(PortOpen)(port), 1, "PortOpen(port) for the G-option sampling");
    int32_t values[100];
    for (size_t i = 0; i < 100; ++i) values[i] = -1;
    PostMessageA(window, WM_APP, 0, 0);
    DWORD tick = GetTickCount();
    int32_t value = CALL(ADCAnalogSampling)(10, 1, 2, 100, 1, values);
    unsigned long took = Since(tick);
    int32_t code = CALL(GetError)();
    Check(g_window.ran, "the posted message was dispatched during the G-option sampling");
    Check(value == -1 && code == 38 && took < 5000, "the stop button ended the sampling: %ld, code %ld (%lu ms)",
          (long)value, (long)code, took);
    Check(g_window.error == -1 && (g_window.limit == 0 || g_window.limit == 1),
          "the window procedure read GetError() = %ld and IntStatusL() = %ld", (long)g_window.error,
          (long)g_window.limit);
    Check(g_window.refused == -1 && g_window.refusedCode == 37,
          "WriteCommand from the window procedure refused: %ld, code %ld", (long)g_window.refused,
          (long)g_window.refusedCode);
    Check(g_window.closed == 1, "PortClose from the window procedure = %ld", (long)g_window.closed);
    CheckFails(CALL(PortClose)(), 35, "PortClose() after the stop button closed the port");
    DestroyWindow(window);
    Sleep(1500);  /* the board finishes the block it was asked for before it hears commands again */
  }

  /* A program that quits while the library pumps still sees its quit. */
  CheckValue(CALL(PortOpen)(port), 1, "PortOpen(port) before the quit");
  PostQuitMessage(7);
  CheckValue(CALL(PortClose)(), 1, "PortClose() with WM_QUIT queued");
  MSG message;
  BOOL got = PeekMessageA(&message, NULL, WM_QUIT, WM_QUIT, PM_REMOVE);
  Check(got && message.message == WM_QUIT && message.wParam == 7, "WM_QUIT still queued with its code (%ld)",
        got ? (long)message.wParam : -1L);
}

/* A port that cannot be opened, and a board that never answers. */
static void FaultChecks(int32_t closedPort, int32_t silentPort) {
  if (closedPort > 0) {
    DWORD tick = GetTickCount();
    int32_t value = CALL(PortOpen)(closedPort);
    CheckFails(value, 36, "PortOpen(a port that cannot be opened)");
    const char* message = CALL(GetErrorMessage)();
    Check(message != NULL && strcmp(message, "Unable to open COM port") == 0,
          "GetErrorMessage() = \"%s\" (%lu ms)", message != NULL ? message : "(null)", Since(tick));
    CheckFails(CALL(PortClose)(), 35, "PortClose() after the failed open");
  } else {
    printf("skip a port that cannot be opened: no --closed-port\n");
  }
  if (silentPort > 0) {
    CheckValue(CALL(PortOpen)(silentPort), 1, "PortOpen(the silent board's port)");
    DWORD tick = GetTickCount();
    int32_t value = CALL(WriteCommand)("PRB");
    unsigned long took = Since(tick);
    CheckFails(value, 26, "WriteCommand(\"PRB\") to the silent board");
    const char* message = CALL(GetErrorMessage)();
    Check(message != NULL && strstr(message, "COM port timed out (command = PRB)") != NULL,
          "GetErrorMessage() = \"%s\" (%lu ms)", message != NULL ? message : "(null)", took);
    CheckValue(CALL(PortClose)(), 1, "PortClose() of the silent board's port");
  } else {
    printf("skip a silent board: no --silent-port\n");
  }
}

/* Asks the host how many processes hold the board's port: writes the request
 * file tarvelin-probe.req in the current folder (by rename, so that it appears
 * whole) and waits for tarvelin-probe.ans, "holders N", which run_wine.sh
 * writes after looking at every process's open files. -1 when no answer came. */
static long AskHost(const char* moment) {
  FILE* request = fopen("tarvelin-probe.tmp", "w");
  if (request == NULL) return -1;
  fprintf(request, "%s\n", moment);
  fclose(request);
  DeleteFileA("tarvelin-probe.ans");
  if (!MoveFileA("tarvelin-probe.tmp", "tarvelin-probe.req")) return -1;
  DWORD start = GetTickCount();
  while (Since(start) < PROBE_WAIT_MS) {
    FILE* answer = fopen("tarvelin-probe.ans", "r");
    if (answer != NULL) {
      long holders = -1;
      if (fscanf(answer, "holders %ld", &holders) != 1) holders = -1;
      fclose(answer);
      DeleteFileA("tarvelin-probe.ans");
      return holders;
    }
    Sleep(20);
  }
  return -1;
}

/* FreeLibrary with the port open: DllMain must close the channel, so that the
 * port is released and a fresh load of the DLL can open it again. */
static void UnloadChecks(int32_t port, int probe) {
  CheckValue(CALL(PortOpen)(port), 1, "PortOpen(port) before FreeLibrary");
  CheckValue(CALL(WriteCommand)("PRB"), 1, "WriteCommand(\"PRB\")");
  if (probe) {
    long holders = AskHost("open");
    Check(holders > 0, "the host sees the port held while it is open (%ld processes)", holders);
  }
  DWORD tick = GetTickCount();
  BOOL freed = FreeLibrary(g_dll);
  unsigned long took = Since(tick);
  g_dll = NULL;
  memset(g_proc, 0, sizeof g_proc);
  Check(freed != 0, "FreeLibrary with the port open returned (%lu ms)", took);
  Check(GetModuleHandleA("TARVELIN.DLL") == NULL, "TARVELIN.DLL is no longer loaded");
  if (probe) {
    long holders = AskHost("freed");
    Check(holders == 0, "the host sees the port released after FreeLibrary (%ld processes hold it)", holders);
  } else {
    printf("skip the host's view of the port: no --release-probe\n");
  }

  printf("     loading TARVELIN.DLL again\n");
  g_dll = LoadLibraryA("TARVELIN.DLL");
  if (!Check(g_dll != NULL, "LoadLibraryA(\"TARVELIN.DLL\") again") || !ResolveExports(0)) return;
  Check(1, "all %u exports resolved again by name and ordinal", (unsigned)EXPORT_COUNT);
  /* A fresh instance starts from the values at load: port 1, no port open. */
  CheckValue(CALL(GetPort)(), 1, "GetPort() of the reloaded DLL");
  CheckFails(CALL(PortClose)(), 35, "PortClose() of the reloaded DLL");
  CheckValue(CALL(PortOpen)(port), 1, "PortOpen(port) by the reloaded DLL");
  CheckValue(CALL(WriteCommand)("PRB"), 1, "WriteCommand(\"PRB\") by the reloaded DLL");
  CheckValue(CALL(GetValue)(), 255, "GetValue()");
  CheckValue(CALL(PortClose)(), 1, "PortClose() by the reloaded DLL");

  /* Unloaded the moment the port is open, and with a thread message queued: the
   * unload holds the loader lock, so it must neither wait for the reader's start
   * nor dispatch anything. */
  for (int round = 0; round < 2; ++round) {
    CheckValue(CALL(PortOpen)(port), 1, round == 0 ? "PortOpen(port), then FreeLibrary at once"
                                                   : "PortOpen(port), then FreeLibrary with a message queued");
    if (round == 1) PostThreadMessageA(GetCurrentThreadId(), WM_APP + 7, 0, 0);
    tick = GetTickCount();
    freed = FreeLibrary(g_dll);
    took = Since(tick);
    g_dll = NULL;
    memset(g_proc, 0, sizeof g_proc);
    Check(freed != 0 && took < 5000, "FreeLibrary returned (%lu ms)", took);
    if (round == 1) {
      MSG message;
      BOOL kept = PeekMessageA(&message, NULL, WM_APP + 7, WM_APP + 7, PM_REMOVE);
      Check(kept, "the queued message was left for the program");
    }
    if (probe) {
      long holders = AskHost("freed");
      Check(holders == 0, "the host sees the port released (%ld processes hold it)", holders);
    }
    g_dll = LoadLibraryA("TARVELIN.DLL");
    if (!Check(g_dll != NULL, "LoadLibraryA(\"TARVELIN.DLL\") again") || !ResolveExports(0)) return;
  }
}

static long PortOption(const char* text) {
  char* end = NULL;
  long port = strtol(text, &end, 10);
  if (end == text || *end != '\0' || port < 1 || port > 255) return 0;
  return port;
}

static int Usage(const char* program) {
  fprintf(stderr, "usage: %s [--silent-port N] [--closed-port N] [--release-probe] [COM port number 1..255]\n",
          program);
  return 2;
}

int main(int argc, char** argv) {
  setvbuf(stdout, NULL, _IONBF, 0);
  long port = 0, silentPort = 0, closedPort = 0;
  int probe = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--silent-port") == 0 && i + 1 < argc) {
      if ((silentPort = PortOption(argv[++i])) == 0) return Usage(argv[0]);
    } else if (strcmp(argv[i], "--closed-port") == 0 && i + 1 < argc) {
      if ((closedPort = PortOption(argv[++i])) == 0) return Usage(argv[0]);
    } else if (strcmp(argv[i], "--release-probe") == 0) {
      probe = 1;
    } else if (port == 0 && (port = PortOption(argv[i])) != 0) {
      continue;
    } else {
      return Usage(argv[0]);
    }
  }

  g_dll = LoadLibraryA("TARVELIN.DLL");
  if (g_dll == NULL) {
    printf("FAIL LoadLibraryA(\"TARVELIN.DLL\"): system error %lu\n", (unsigned long)GetLastError());
    printf("0 passed, 1 failed\n");
    return 1;
  }
  int resolved = ResolveExports(1);
  if (resolved) {
    VersionChecks();
    ResourceChecks();
    if (port != 0) {
      DWORD start = GetTickCount();
      if (ConnectionChecks((int32_t)port)) {
        DigitalChecks();
        StepperChecks();
        PwmChecks();
        AnalogChecks();
        Io485Checks();
        CloseChecks();
        HandleChecks((int32_t)port);
      }
      MessageChecks((int32_t)port);
      DoubleStopChecks((int32_t)port);
      UnicodeWindowChecks((int32_t)port);
      FaultChecks((int32_t)closedPort, (int32_t)silentPort);
      UnloadChecks((int32_t)port, probe);
      CycleChecks((int32_t)port, 40);
      printf("session: %lu ms\n", Since(start));
      unsigned missed = 0;
      // The handle functions are driven family by family by the native tests;
      // here a session's worth of them shows they reach the same board.
      for (size_t i = 0; i < EXPORT_COUNT; ++i) {
        if (g_called[i] == 0 && strncmp(kExports[i].name, "tarvelin_", 9) != 0) {
          printf("     never called: %s\n", kExports[i].name);
          ++missed;
        }
      }
      Check(missed == 0, "every classic export called at least once (%u never)", missed);
    } else {
      printf("no COM port given: exports only\n");
    }
  } else {
    printf("exports missing: the session is not run\n");
  }
  if (g_dll != NULL) Check(FreeLibrary(g_dll) != 0, "FreeLibrary");
  printf("calls: %ld\n", g_calls);
  printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}

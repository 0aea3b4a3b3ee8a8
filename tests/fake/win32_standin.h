// A test fake of the Win32 calls the library's win32 line and host make, over
// termios, poll and pthreads, with the driver behaviour only Windows has
// (pending waits and cancels, overstated queues, inherited settings, sent
// messages), so that the win32 line is unit-tested on Linux.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

using BOOL = int;
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using UINT = unsigned int;
using LPSTR = char*;
using LPCSTR = const char*;
using HANDLE = void*;
using HWND = void*;
using LPVOID = void*;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using ULONG_PTR = uintptr_t;

#define WINAPI
#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define INFINITE 0xFFFFFFFFu

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_BAD_COMMAND = 22;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_DEV_NOT_EXIST = 55;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_DEVICE_REMOVED = 1617;

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr DWORD STATUS_PENDING = 0x103;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

constexpr DWORD PURGE_TXABORT = 0x1;
constexpr DWORD PURGE_RXABORT = 0x2;
constexpr DWORD PURGE_TXCLEAR = 0x4;
constexpr DWORD PURGE_RXCLEAR = 0x8;

constexpr DWORD CE_RXOVER = 0x1;
constexpr DWORD CE_OVERRUN = 0x2;
constexpr DWORD CE_FRAME = 0x8;
constexpr DWORD EV_RXCHAR = 0x1;
constexpr DWORD EV_BREAK = 0x40;

constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;

constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;

constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;

constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;

constexpr UINT MB_OK = 0;
constexpr UINT MB_ICONERROR = 0x10;
constexpr int IDOK = 1;
constexpr UINT PM_REMOVE = 1;
constexpr UINT WM_QUIT = 0x12;
constexpr UINT WM_APP = 0x8000;
constexpr DWORD QS_ALLINPUT = 0x4FF;
constexpr DWORD MWMO_INPUTAVAILABLE = 0x4;

constexpr DWORD DLL_PROCESS_DETACH = 0;
constexpr DWORD DLL_PROCESS_ATTACH = 1;

// Same member order and bit fields as the Win32 record, 28 bytes.
struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};
static_assert(sizeof(DCB) == 28, "DCB must keep the Win32 layout");

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
  DWORD fFlags;
  DWORD cbInQue;
  DWORD cbOutQue;
};

struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
};

struct CRITICAL_SECTION {
  alignas(8) unsigned char Opaque[64];  // holds a pthread mutex
};

// A slim reader/writer lock, one pointer, zero when free; taken exclusively only.
struct SRWLOCK {
  void* Ptr;
};
#define SRWLOCK_INIT \
  { nullptr }

struct SECURITY_ATTRIBUTES;
struct POINT {
  LONG x;
  LONG y;
};
struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);

// OLE Automation: the safe array in which Visual Basic passes an array, with
// the same layout as the real one (one bound record; the stand-in holds
// one-dimensional arrays).
using USHORT = uint16_t;
using ULONG = uint32_t;
using HRESULT = int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000Bu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
using VARTYPE = uint16_t;
constexpr VARTYPE VT_I4 = 3;
constexpr VARTYPE VT_R4 = 4;
constexpr VARTYPE VT_BSTR = 8;
constexpr VARTYPE VT_DISPATCH = 9;
constexpr VARTYPE VT_VARIANT = 12;
constexpr VARTYPE VT_UNKNOWN = 13;
constexpr VARTYPE VT_RECORD = 36;
constexpr USHORT FADF_RECORD = 0x20;
constexpr USHORT FADF_HAVEVARTYPE = 0x80;
constexpr USHORT FADF_BSTR = 0x100;
constexpr USHORT FADF_UNKNOWN = 0x200;
constexpr USHORT FADF_DISPATCH = 0x400;
constexpr USHORT FADF_VARIANT = 0x800;
struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};
typedef struct tagSAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY;

constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     void* arguments);

// Files and the serial port
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security, DWORD creation,
                   DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue);
BOOL PurgeComm(HANDLE port, DWORD flags);
BOOL GetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts);
BOOL GetCommState(HANDLE port, DCB* dcb);
BOOL SetCommState(HANDLE port, DCB* dcb);
BOOL SetCommMask(HANDLE port, DWORD mask);
BOOL WaitCommEvent(HANDLE port, DWORD* mask, OVERLAPPED* overlapped);
BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status);
BOOL EscapeCommFunction(HANDLE port, DWORD function);
BOOL ReadFile(HANDLE file, void* buffer, DWORD length, DWORD* read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD length, DWORD* written, OVERLAPPED* overlapped);
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
BOOL CancelIo(HANDLE file);
BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped);
DWORD GetLastError();
void SetLastError(DWORD error);

// Events, the critical section, threads
HANDLE CreateEventA(SECURITY_ATTRIBUTES* security, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
void InitializeCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);
HANDLE CreateThread(SECURITY_ATTRIBUTES* security, size_t stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, DWORD* threadId);
BOOL SetThreadPriority(HANDLE thread, int priority);
DWORD GetCurrentThreadId();
void AcquireSRWLockExclusive(SRWLOCK* lock);
BOOL TryAcquireSRWLockExclusive(SRWLOCK* lock);
void ReleaseSRWLockExclusive(SRWLOCK* lock);
// Ends a thread where it stands; the stand-in ends it at its next wait or sleep.
BOOL TerminateThread(HANDLE thread, DWORD exitCode);
using HMODULE = void*;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x4;
BOOL GetModuleHandleExA(DWORD flags, LPCSTR name, HMODULE* module);
[[noreturn]] void FreeLibraryAndExitThread(HMODULE module, DWORD exitCode);

// Memory that the library keeps for the life of the process
constexpr UINT LPTR = 0x40;  // zero-initialised
void* LocalAlloc(UINT flags, size_t bytes);
void* LocalFree(void* memory);

// Time, diagnostics, the user interface
DWORD GetTickCount();
void Sleep(DWORD milliseconds);
void OutputDebugStringA(LPCSTR text);
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
BOOL PeekMessageA(MSG* message, HWND window, UINT first, UINT last, UINT remove);
BOOL TranslateMessage(const MSG* message);
BOOL PeekMessageW(MSG* message, HWND window, UINT first, UINT last, UINT remove);
LPARAM DispatchMessageW(const MSG* message);
BOOL IsWindowUnicode(HWND window);
constexpr UINT PM_NOREMOVE = 0;
LPARAM DispatchMessageA(const MSG* message);
void PostQuitMessage(int exitCode);
// Waits for one of the objects or, with QS_ALLINPUT, for a message in the
// calling thread's queue (WAIT_OBJECT_0 + count); MWMO_INPUTAVAILABLE counts
// messages already queued.
DWORD MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds, DWORD wakeMask, DWORD flags);
// The process environment: the length of the value (0 when unset), or the size
// the buffer needs when it is too small.
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);

// OLE Automation
HRESULT SafeArrayPutElement(SAFEARRAY* array, LONG* indices, void* value);
HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vartype);
HRESULT SafeArrayLock(SAFEARRAY* array);
HRESULT SafeArrayUnlock(SAFEARRAY* array);

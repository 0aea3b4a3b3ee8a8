// The one serial channel of the process: the COM port, its reader thread, the
// line settings and the binding to the answer text that the reader fills.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

struct CommChannelRecord {
  HANDLE PortHandle;
  std::atomic<HANDLE> ThreadHandle;
  std::atomic<uint32_t> ThreadId;
  std::atomic<int32_t> Running;  // the run number of the open whose reader may go on; 0: none
  uint32_t LineBaudRate;
  uint32_t DsrFlowControl;
  uint32_t CtsFlowControl;
  uint32_t XonXoffControl;
  uint8_t LineParity;
  uint8_t LineStopBits;
  uint8_t LineByteSize;
  int32_t NominalBaudRate;
  std::atomic<int32_t>* AnswerReadyFlag;
  char* AnswerText;
  int32_t AnswerCapacity;
};

extern CommChannelRecord CommChannel;

// Set by the reader as its last act, so that OpenComm can tell a reader that
// ended before its identifier was recorded.
extern std::atomic<int32_t> ReaderEnded;
// Set by CloseComm while the library is unloaded: the reader then stops at its
// end, outside every lock, sets ReaderParked, and CloseComm ends the thread there.
extern std::atomic<int32_t> ParkReader;
extern std::atomic<int32_t> ReaderParked;

// Set to 1 by the reader only; cleared by their getters.
extern std::atomic<int32_t> LimitEvent;
extern std::atomic<int32_t> PwmFinished;

// Set by the reader when the line is gone (the device removed, the other side
// of the line hung up); cleared by the next open.
extern std::atomic<int32_t> LineLost;
// Changes with every open and close, so that a call can tell that the channel
// it started on was closed under it (from another thread, or from a window
// procedure that its own message pumping ran).
extern std::atomic<uint32_t> ChannelSession;

// How CloseComm may wait for the reader. PortClose waits and keeps the calling
// thread's windows served; the library's unload (the loader lock held) waits a
// bounded time without dispatching anything; at process exit the system has
// ended the reader and closes the port itself, so nothing is done with the device.
enum class CloseWait { Full, ReaderDone, None };

void SetCommSettings(int32_t nominalBaudRate, uint32_t lineBaudRate, uint8_t byteSize, uint8_t parity,
                     uint8_t stopBits, uint32_t ctsFlow, uint32_t dsrFlow, uint32_t xonXoff,
                     std::atomic<int32_t>* answerReadyFlag, char* answerText, int32_t capacity);
HANDLE OpenComm(int32_t portNumber);
int32_t CloseComm(CloseWait wait = CloseWait::Full);
BOOL SetupCommState(CommChannelRecord* channel);
// The reader of one open; its parameter carries that open's run number.
DWORD WINAPI CommWatchThread(LPVOID runNumber);
inline LPVOID RunNumberParameter(int32_t runNumber) { return reinterpret_cast<LPVOID>(static_cast<intptr_t>(runNumber)); }
// The library's own module, referenced for a reader whose open gave up on it
// before it ran: it leaves through FreeLibraryAndExitThread.
extern std::atomic<HMODULE> OrphanModule;
// Leaves the reader's wait and read records to a reader that did not stop.
void AbandonReaderRecord();
void ReleaseReaderRecord();
void ReleaseWriteRecord();
// At unload: gives back the events and records made since the library was
// loaded, once no reader of it can still be running (one that could is left
// what it may use).
void ReleaseLoadObjects();
// Reads at most `maxLength` bytes, which the caller knows the driver holds.
uint32_t ReadCommBlock(CommChannelRecord* channel, char* destination, uint32_t maxLength);
int32_t WriteCommBlock(CommChannelRecord* channel, const char* data, int32_t byteCount);
int32_t WriteComm(int32_t byteCount, const char* data);
// Above 0 while a close or re-open waits for the call's turn: a write that
// has not completed is given up at once, so that the close gets in.
extern std::atomic<int32_t> WritesCut;

// Dispatches the calling thread's queued messages, at most a round's worth, so
// that a window that posts to itself cannot keep the caller's deadline and
// cancel checks from running. False when it met WM_QUIT: the quit is posted
// again for the program's own loop and pumping must stop. Only inside a LibraryPumping scope.
bool PumpMessages(HWND window);
// Above 0 while a wait of the library pumps messages (for the whole wait: sent
// messages run inside PeekMessage, before anything is dispatched), or a message
// box of the library's own runs its modal loop: a call that arrives then on
// that thread has come back into the library through a window procedure.
extern std::atomic<int32_t> MessageDispatchDepth;
class LibraryPumping {
 public:
  LibraryPumping() { MessageDispatchDepth.fetch_add(1, std::memory_order_acq_rel); }
  ~LibraryPumping() { MessageDispatchDepth.fetch_sub(1, std::memory_order_acq_rel); }
  LibraryPumping(const LibraryPumping&) = delete;
  LibraryPumping& operator=(const LibraryPumping&) = delete;
};
// True while CloseComm runs: a close nested in it (a second click of a "Stop"
// button dispatched by its own message pumping) finds the port closed.
bool ChannelClosing();
// MessageBoxA, marked as the library's own message pumping: its modal loop
// dispatches the thread's window messages while the call holds its turn.
int LibraryMessageBox(LPCSTR text, LPCSTR caption, UINT type);

// True for the errors with which a driver fails I/O on a device that is gone.
bool LineGoneError(DWORD error);
// Marks the line gone (once per open), says so on the debugger output and
// wakes a waiting call.
void MarkLineGone(const char* routine, DWORD error);

// Formats a debugger-output line and sends it.
void DebugLine(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

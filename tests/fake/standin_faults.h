// Test-only controls of the test fake: refuse what a real driver may
// refuse, and observe what the library asked of the platform. Production code
// never calls these.
#pragma once

#include "win32_standin.h"

namespace standin {

void RefuseLineSettings(bool refuse);    // SetCommState fails
void RefuseThreadPriorities(int count);  // the next `count` SetThreadPriority calls fail
void FailNextWrites(int count);          // the next `count` WriteFile calls are refused at once
void FailCommMask(bool fail);            // SetCommMask with a nonzero mask fails
void RefuseCommState(bool refuse);       // GetCommState fails
// Ports opened from now on start with the settings another program may leave:
// abort-on-error, DSR sensitivity, null stripping and error replacement all set.
void InheritDcbFlags(bool inherit);
// Ports opened from now on hold a line error that refuses every wait until
// ClearCommError reads it, as abort-on-error does after a framing error.
void FailWaitsUntilCleared(bool fail);
// Waits end at once with nothing to read, as around a surprise removal.
void EndWaitsEmpty(bool empty);
// ClearCommError reports `extra` bytes more than are queued; a read that finds
// nothing waits until it is cancelled, as some virtual COM drivers do.
void OverstateQueue(DWORD extra);
unsigned WaitCommEventCalls();
// EV_RXCHAR ends a wait only for bytes that arrive after the wait began, as
// drivers raise it: bytes already queued say nothing.
void RxCharOnArrivalOnly(bool only);
// Waits, reads and writes fail with `error` (0: they work), as around a removal.
void FailIoWith(DWORD error);
// Overlapped writes stay pending until cancelled, as with an adapter that stopped taking data.
void StallWrites(bool stall);
// CancelIo and CancelIoEx end nothing, as some drivers do; closing the port still does.
void IgnoreCancels(bool ignore);
// The next ClearCommError that finds bytes queued reports CE_OVERRUN.
void ReportOverrun();
void RefuseQueueSizes(bool refuse);  // SetupComm fails
// Threads created from now on start running `milliseconds` late.
void DelayThreadStarts(DWORD milliseconds);
int TerminateThreadCalls();

// Message boxes shown so far, and the caption, text and style of the last one.
int MessageBoxCount();
const char* LastMessageBoxCaption();
const char* LastMessageBoxText();
UINT LastMessageBoxStyle();

// A one-dimensional safe array over the caller's storage: `count` elements of
// `elementSize` bytes from index `lowerBound` on. As OLE Automation lays it
// out, the variant type of an array with FADF_HAVEVARTYPE is kept in the four
// bytes before the descriptor.
struct VbArray {
  alignas(8) DWORD reserved;
  DWORD vartype;
  SAFEARRAY array;
};
VbArray SafeArrayOver(void* data, ULONG count, LONG lowerBound, ULONG elementSize = 4,
                      USHORT features = FADF_HAVEVARTYPE, VARTYPE vartype = VT_I4);

// Debugger output captured while capture is on (independent of the environment).
void CaptureDebugOutput(bool on);
const char* CapturedDebugOutput();  // everything captured since it was switched on

// The port calls made since StartTrace, as names separated by blanks.
void StartTrace();
const char* TraceText();

// The line state of an open port as the stand-in holds it.
bool PortDtr(HANDLE port);

// The calling thread's message queue: a posted callback runs when the message
// is dispatched (as a window procedure would); other messages are only queued.
using MessageCallback = void (*)(void*);
constexpr UINT kCallbackMessage = WM_APP + 1;
bool PostToThisThread(UINT message, WPARAM wParam, LPARAM lParam);
bool PostCallback(MessageCallback callback, void* argument);
// As if another thread sent the message: not queued, it runs inside the next PeekMessageA.
bool SendCallback(MessageCallback callback, void* argument);
void DiscardMessages();

// The library's clock runs `scale` (1..1000) times as fast as real time: the
// tick count, timed waits and sleeps. 1 puts it back.
void SetClockScale(double scale);
// The tick count held at `at`, moved only by AdvanceClock, so that a boundary
// is met to the millisecond; ThawClock lets it run on from there.
void FreezeClock(DWORD at);
void AdvanceClock(DWORD milliseconds);
void ThawClock();

void ResetFaults();

}  // namespace standin

// Shared by the stand-in's files only.
#pragma once

#include <pthread.h>
#include <time.h>

#include "win32_standin.h"

namespace standin {

enum class Kind : uint32_t { Free = 0, Port, Event, Thread };

// Every object a HANDLE designates starts with its kind, so a handle can be checked.
struct ObjectHeader {
  Kind kind;
};

Kind KindOf(HANDLE handle);
void Trace(const char* call);
bool ClosePort(HANDLE handle);
bool CloseEvent(HANDLE handle);
bool CloseThread(HANDLE handle);
bool SignalEvent(HANDLE handle);
// A condition whose timed waits run on the monotonic clock.
void InitCond(pthread_cond_t* cond);
DWORD WaitThread(HANDLE handle, DWORD milliseconds);
DWORD WaitEvent(HANDLE handle, DWORD milliseconds);
// An overlapped request that completes through `event` and is carried out by
// the thread that waits for the event: `drive` works on it until it completes
// (and signals the event) or the deadline (absolute, monotonic; null: none) passes.
using DriveFunction = void (*)(void* context, HANDLE event, const struct timespec* deadline);
void AttachDriver(HANDLE event, DriveFunction drive, void* context);
void DetachDriver(HANDLE event, void* context);
// Why the calling thread's last CreateFileA failed: the device and the errno.
void NoteOpenFailure(const char* path, int error);

}  // namespace standin

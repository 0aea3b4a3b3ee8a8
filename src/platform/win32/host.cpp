// The host's side of the seam on Windows: the tick counter, slim locks,
// events, the calling thread's message queue, message boxes, the debugger
// output, the process environment and OLE Automation's safe arrays.
#include "platform/host.h"

#include "platform/win32/win32.h"

namespace tarvelin {

namespace {

constexpr int kMessagesPerRound = 64;
// Safe arrays whose elements the store would take for strings, interfaces,
// variants or records rather than 32-bit integers.
constexpr unsigned kReferenceFeatures = FADF_RECORD | FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_VARIANT;

SRWLOCK* AsSrwLock(void** word) { return reinterpret_cast<SRWLOCK*>(word); }
static_assert(sizeof(SRWLOCK) == sizeof(void*), "a slim lock is one pointer, zero when free");

}  // namespace

uint32_t NowMs() { return GetTickCount(); }
void SleepMs(uint32_t milliseconds) { Sleep(milliseconds); }
uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

void Lock::Acquire() { AcquireSRWLockExclusive(AsSrwLock(&word_)); }
void Lock::Release() { ReleaseSRWLockExclusive(AsSrwLock(&word_)); }

bool Signal::Make() {
  if (handle_.load(std::memory_order_acquire) != nullptr) return true;
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  handle_.store(event, std::memory_order_release);
  return event != nullptr;
}
bool Signal::Made() const { return handle_.load(std::memory_order_acquire) != nullptr; }
void Signal::Raise() {
  HANDLE event = handle_.load(std::memory_order_acquire);
  if (event != nullptr) SetEvent(event);
}
void Signal::Reset() {
  HANDLE event = handle_.load(std::memory_order_acquire);
  if (event != nullptr) ResetEvent(event);
}

Signal::Wait Signal::WaitFor(uint32_t milliseconds, bool serveMessages) {
  HANDLE event = handle_.load(std::memory_order_acquire);
  if (event == nullptr) return Wait::Failed;
  const DWORD result = serveMessages
                           ? MsgWaitForMultipleObjectsEx(1, &event, milliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE)
                           : WaitForSingleObject(event, milliseconds);
  if (result == WAIT_OBJECT_0) return Wait::Raised;
  return result == WAIT_FAILED ? Wait::Failed : Wait::Other;
}

void Signal::Release() {
  HANDLE event = handle_.exchange(nullptr);
  if (event != nullptr) CloseHandle(event);
}

bool PumpMessages() {
  MSG message;
  for (int round = 0; round < kMessagesPerRound; ++round) {
    // A Unicode window gets its messages in Unicode: taken through the ANSI
    // calls, a keystroke outside the ANSI code page would arrive as "?".
    if (!PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) break;
    const bool unicode = message.hwnd != nullptr && IsWindowUnicode(message.hwnd);
    if (!(unicode ? PeekMessageW : PeekMessageA)(&message, nullptr, 0, 0, PM_REMOVE)) break;
    if (message.message == WM_QUIT) {
      // The program's own loop must still see it, or the program never exits.
      PostQuitMessage(static_cast<int>(message.wParam));
      return false;
    }
    TranslateMessage(&message);
    if (unicode) {
      DispatchMessageW(&message);
    } else {
      DispatchMessageA(&message);
    }
  }
  return true;
}

void ShowMessageBox(const char* text, const char* caption, BoxIcon icon) {
  MessageBoxA(nullptr, text, caption, icon == BoxIcon::Error ? MB_ICONERROR : MB_OK);
}

void DebugOutput(const char* line) { OutputDebugStringA(line); }

size_t ReadEnvironment(const char* name, char* value, size_t size) {
  // The process environment, which SetEnvironmentVariableA reaches where a C
  // runtime's own copy would not.
  const DWORD length = GetEnvironmentVariableA(name, value, static_cast<DWORD>(size));
  return length;
}

bool VbArrayHoldsIntegers(tagSAFEARRAY* array) {
  // One dimension of 4-byte plain elements: anything else would have the store
  // read more than the one integer it is given, or take it for a reference. An
  // array that names its element type must name a 32-bit integer (a Visual
  // Basic Long): a Single array has 4-byte elements too.
  if (array == nullptr || array->cDims != 1 || array->cbElements != sizeof(int32_t) ||
      (array->fFeatures & kReferenceFeatures) != 0) {
    return false;
  }
  if ((array->fFeatures & FADF_HAVEVARTYPE) == 0) return true;
  VARTYPE type = 0;
  return SafeArrayGetVartype(array, &type) == S_OK && type == VT_I4;
}

void VbArrayBounds(const tagSAFEARRAY* array, int64_t* lowerBound, int64_t* count) {
  *lowerBound = array->rgsabound[0].lLbound;
  *count = static_cast<int64_t>(array->rgsabound[0].cElements);
}

bool VbArrayLock(tagSAFEARRAY* array) { return SafeArrayLock(array) == S_OK; }
void VbArrayUnlock(tagSAFEARRAY* array) { SafeArrayUnlock(array); }

bool VbArrayStore(tagSAFEARRAY* array, int64_t index, int32_t value) {
  // The store itself refuses an index outside the array; it copies as many
  // bytes as an element has, so only 4-byte elements are given one integer.
  if (array == nullptr || array->cbElements != sizeof(int32_t) || index < INT32_MIN || index > INT32_MAX) return false;
  LONG at = static_cast<LONG>(index);
  int32_t element = value;
  return SafeArrayPutElement(array, &at, &element) == S_OK;
}

}  // namespace tarvelin

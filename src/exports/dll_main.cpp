// Unloading the library closes the channel.
#include "board/handle_boards.h"
#include "serial/comm_channel.h"

#ifdef _WIN32

#include "platform/win32/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

// The library keeps no thread-local data. Defining the runtime's TLS start-up
// hook here keeps the runtime's TLS support out of the DLL, so the DLL has no
// TLS directory: the loader then keeps no per-thread slot for it, and a reader
// thread that leaves after the library was unloaded (it can only leave once
// FreeLibrary has released the loader lock) finds nothing of the DLL to tear down.
extern "C" {
extern const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback;
const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback = nullptr;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH) {
    // At process exit (reserved set) the system has already ended the reader;
    // under FreeLibrary the loader lock keeps it from finishing, though it can
    // still leave its loop.
    if (reserved != nullptr) {
      tarvelin::CloseHandleBoards(CloseWait::None);
      CloseComm(DefaultBoard(), CloseWait::None);
    } else {
      tarvelin::CloseHandleBoards(CloseWait::ReaderDone);
      CloseComm(DefaultBoard(), CloseWait::ReaderDone);
      // A host that loads and unloads the library again and again keeps nothing of it.
      ReleaseLoadObjects(DefaultBoard());
    }
  }
  return TRUE;
}

#else

namespace {
__attribute__((destructor)) void UnloadLibrary() {
  tarvelin::CloseHandleBoards(CloseWait::Full);
  CloseComm(DefaultBoard());
  ReleaseLoadObjects(DefaultBoard());
}
}  // namespace

#endif

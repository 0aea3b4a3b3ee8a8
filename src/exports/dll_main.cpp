// Unloading the library closes the channel.
#include "serial/comm_channel.h"

#ifdef _WIN32

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH) {
    // At process exit (reserved set) the system has already ended the reader;
    // under FreeLibrary the loader lock keeps it from finishing, though it can
    // still leave its loop.
    CloseComm(reserved != nullptr ? CloseWait::None : CloseWait::ReaderDone);
  }
  return TRUE;
}

#else

namespace {
__attribute__((destructor)) void UnloadLibrary() { CloseComm(); }
}  // namespace

#endif

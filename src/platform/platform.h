// The one seam between the library and the operating system: Win32 itself on
// Windows, the POSIX stand-in for exactly the calls the library makes elsewhere.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The safe array of the Visual Basic variant (left out by WIN32_LEAN_AND_MEAN).
#include <oleauto.h>
#else
#include "posix/win32_standin.h"
#endif

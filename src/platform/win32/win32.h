// The Win32 API for the win32 implementations of the seam: the system's own
// headers on Windows; elsewhere the test fake that imitates the driver
// behaviour these implementations are unit-tested against.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The safe array of the Visual Basic variant (left out by WIN32_LEAN_AND_MEAN).
#include <oleauto.h>
#else
#include "win32_fake.h"
#endif

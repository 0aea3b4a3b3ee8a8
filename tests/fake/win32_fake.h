// The test fake's Win32 API, for the win32 implementations built on Linux.
#pragma once

#include "win32_standin.h"

// Why a COM port could not be opened, in the system's own terms, for the
// debugger output: the device that was tried and the reason.
#pragma once

#include <cstddef>

// Describes the calling thread's last failed open of `name` ("\\.\COM3") as
// "<device>: <reason>" into `text`; right after the failed CreateFileA.
void DescribeOpenFailure(const char* name, char* text, size_t size);

// What the channel says when the port cannot be opened.
#pragma once

// One debugger-output line (and a trace note) naming the device that was tried
// and the system's reason, which also ends the wire trace; called right after
// CreateFileA failed for `name`.
void ReportOpenFailure(const char* name);

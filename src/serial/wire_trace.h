// The wire trace: with TARVELIN_TRACE naming a file, every byte written to the
// port and read from it is appended there as text, one timestamped line per
// block, control characters escaped. Off (and free) when the variable is unset.
#pragma once

#include <cstdint>

enum class WireDirection { Written, Read };

// Reads TARVELIN_TRACE and opens its file for appending; called as a port is opened.
void StartWireTrace();
// Closes the trace file; called once the port is closed.
void StopWireTrace();
// One line for a block that went out or came in.
void TraceWire(WireDirection direction, const char* data, int32_t length);
// One line of plain text (an open that failed, say).
void TraceWireNote(const char* text);

// Requested rates and the line rates of the port.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarvelin {
struct Board;
}  // namespace tarvelin

// The line rate a requested rate selects (by its hundreds), or 0 for none.
int32_t LineRateFor(int32_t requestedRate);
// Sets PortBaudRate to the rate the request selects; nothing when it selects none.
void SelectPortBaudRate(tarvelin::Board& board, int32_t requestedRate);
// Programs PortBaudRate into the open port; false when the driver refused it.
bool ApplyPortBaudRate(tarvelin::Board& board);

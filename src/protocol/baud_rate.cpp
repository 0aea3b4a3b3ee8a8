#include "protocol/baud_rate.h"

#include "protocol/result_state.h"
#include "serial/comm_channel.h"

namespace {

struct BaudEntry {
  int32_t hundreds;
  int32_t lineRate;
};
constexpr BaudEntry kBaudTable[] = {
    {3, 300},       {12, 1200},     {24, 2400},     {48, 4800},      {96, 9600},
    {192, 19200},   {384, 38400},   {576, 57600},   {1152, 115200},
};

}  // namespace

int32_t LineRateFor(int32_t requestedRate) {
  const int32_t hundreds = requestedRate / 100;
  for (const BaudEntry& entry : kBaudTable) {
    if (entry.hundreds == hundreds) return entry.lineRate;
  }
  return 0;
}

void SelectPortBaudRate(tarvelin::Board& board, int32_t requestedRate) {
  const int32_t lineRate = LineRateFor(requestedRate);
  if (lineRate != 0) board.PortBaudRate = lineRate;
}

bool ApplyPortBaudRate(tarvelin::Board& board) {
  if (!PortIsOpen(board)) return true;
  return board.CommChannel.Line.SetRate(static_cast<uint32_t>(board.PortBaudRate)) == tarvelin::LineResult::Done;
}

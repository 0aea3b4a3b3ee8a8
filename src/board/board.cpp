#include "board/board.h"

#include <new>

namespace tarvelin {

namespace {

// Not a function's static: its guard would cost the load a lock of the runtime's.
alignas(Board) unsigned char DefaultStorage[sizeof(Board)];
Board* const Default = new (DefaultStorage) Board();

}  // namespace

Board& DefaultBoard() { return *Default; }

}  // namespace tarvelin

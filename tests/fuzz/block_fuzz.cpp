// Feeds arbitrary answer text through the block record parser at each record
// width, with device errors on and off, into a store of fixed room: no input
// may read beyond the text or store beyond the room.
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "analog/block_parse.h"

namespace {

constexpr int32_t kRoom = 64;
int32_t Values[kRoom];

bool Store(void* context, int32_t index, int32_t value) {
  const int32_t room = *static_cast<const int32_t*>(context);
  if (index < 0) __builtin_trap();
  if (index < room) Values[index] = value;
  // A value of a field of four characters is between -999 and 9999.
  if (value < -999 || value > 9999) __builtin_trap();
  return index < 2 * room;  // refuses, too, past twice the room
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto* text = reinterpret_cast<const char*>(data);
  const auto length = static_cast<int32_t>(size > (1u << 20) ? (1u << 20) : size);
  int32_t room = kRoom;
  for (int32_t resolution : {8, 10, 12, 9}) {
    for (bool deviceErrors : {true, false}) {
      const BlockOutcome outcome = ParseBlock(text, length, BlockRecordStep(resolution), deviceErrors, Store, &room);
      if (outcome.values < 0 || outcome.values > length) __builtin_trap();
      if (outcome.end == BlockEnd::DeviceError && !deviceErrors) __builtin_trap();
    }
  }
  return 0;
}

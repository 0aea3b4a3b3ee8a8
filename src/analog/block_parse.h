// Reading a block of sampled values: one record per value, '*' followed by a
// decimal field, anything else between records skipped, and a device error
// reported as '?' with its digit at index 3 of the answer (a PWM end event 'P'
// ahead of the answer's first line break not counted).
#pragma once

#include <cstdint>

// Receives value number `index` (0, 1, 2, ...). Returning false ends the parse.
using BlockValueSink = bool (*)(void* context, int32_t index, int32_t value);

enum class BlockEnd {
  Complete,     // every character of the text was read
  DeviceError,  // a '?' while device errors count
  StoreFailed,  // the sink refused a value
  BadRecord,    // a record whose field is not a value: recordAt is set
};

struct BlockOutcome {
  BlockEnd end;
  int32_t values;  // values the sink accepted
  char digit;      // DeviceError: the character at index 3, '\0' when the text is shorter
  int32_t recordAt;  // BadRecord: index of the record's '*'
};

// Characters from one record's '*' to the next: 4 at 8 bits, 5 at 10 and 12
// bits; 0 for any other resolution.
int32_t BlockRecordStep(int32_t resolution);

// One pass over text[0, length) with a fixed skip per record; never reads at or
// beyond `length`. Each '*' is followed by a field of recordStep - 1
// characters that must be a value (blanks, an optional sign, digits, blanks);
// a field of another shape, or cut short, ends the parse with BadRecord rather
// than storing a made-up value. A '?' is a device error only while
// `deviceErrors` is set; otherwise it is skipped like any other character.
BlockOutcome ParseBlock(const char* text, int32_t length, int32_t recordStep, bool deviceErrors,
                        BlockValueSink sink, void* context);

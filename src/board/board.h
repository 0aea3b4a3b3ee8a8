// All state of one board: its line and reader, the answer text and the lines
// owed an answer, the result of the last call, the connection and the call
// turn. Plain data: the layers above give it its behaviour. Each member says
// what guards it; a member that is atomic says so by its type.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/host.h"
#include "platform/reader_thread.h"
#include "platform/serial_line.h"

// The largest answer: a full block of records with its prompt and some line noise.
// A block of 720,896 values at 10 or 12 bits is 3,604,480 characters of records;
// 64 Ki characters more leave room for the prompt and what the line adds.
constexpr int32_t kAnswerCapacity = 3604480 + 65536;
constexpr size_t kAnswerBufferSize = static_cast<size_t>(kAnswerCapacity) + 256;
static_assert(static_cast<size_t>(kAnswerCapacity) < kAnswerBufferSize);
// Lines owed an answer, oldest first, in a ring.
constexpr int kOwedMax = 16;
// The piece a call that leads reads the line in.
constexpr size_t kLeadPieceSize = 65536;
constexpr size_t kErrorTextSize = 512;

// The line, its settings and the binding to the answer text the reader fills.
// Settings are written by the call holding the turn while no reader runs.
struct CommChannelRecord {
  tarvelin::SerialLine& Line;
  std::atomic<int32_t> Running;  // the run number of the open whose reader may go on; 0: none
  uint32_t LineBaudRate;
  uint32_t DsrFlowControl;
  uint32_t CtsFlowControl;
  uint32_t XonXoffControl;
  uint8_t LineParity;
  uint8_t LineStopBits;
  uint8_t LineByteSize;
  int32_t NominalBaudRate;
  std::atomic<int32_t>* AnswerReadyFlag;
  char* AnswerText;
  int32_t AnswerCapacity;
};

namespace tarvelin {

struct Board {
  // `quiet`: a board of the handle API, which shows no message box and never
  // dispatches window messages; the classic exports' board does both.
  explicit Board(bool quiet = false) : Quiet(quiet) {}
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  const bool Quiet;

  // The channel. Opened and closed by the holder of the call turn (or the unload).
  SerialLine Line;
  ReaderThread Reader;
  CommChannelRecord CommChannel{Line, {0}, 9600, 0, 0, 0, 0, 0, 8, 9600, nullptr, nullptr, 0};
  std::atomic<int32_t> Closing{0};  // a close runs
  int32_t LastRunNumber = 0;        // the call turn's
  // Changes with every open and close, so that a call can tell that the channel
  // it started on was closed under it.
  std::atomic<uint32_t> ChannelSession{0};
  // Above 0 while a close or re-open waits for the call's turn: a write that
  // has not completed is given up at once, so that the close gets in.
  std::atomic<int32_t> WritesCut{0};
  Lock WriteLock;  // one writer at a time

  // The answer text: appended by whoever reads the line, emptied by the call holding the turn.
  char AnswerBuffer[kAnswerBufferSize];  // beyond TextLength nothing is read
  std::atomic<int32_t> AnswerReady{0};
  // Signalled each time AnswerReady rises, and by whatever must end a wait early.
  Signal AnswerEvent;
  // Appending and emptying exclude each other: a chunk either lands before the
  // text is emptied or after it, never half in the old text and half in the new.
  Lock TextLock;
  std::atomic<uint32_t> PromptsReceived{0};  // counted under TextLock
  std::atomic<int32_t> TextLength{0};        // written under TextLock, published for AnswerLength
  bool HoldsPrompt TARVELIN_GUARDED_BY(TextLock) = false;
  bool HoldsLimit TARVELIN_GUARDED_BY(TextLock) = false;
  bool HoldsPwm TARVELIN_GUARDED_BY(TextLock) = false;
  std::atomic<bool> Overflowed{false};
  std::atomic<bool> InputLost{false};
  // The owed lines: the call turn's (sent and retired by the holder; forgotten at open and close).
  uint32_t OwedUntil[kOwedMax] = {};  // the tick at which each line stops being owed
  int OwedHead = 0;
  int OwedCount = 0;
  uint32_t PromptsMatched = 0;

  // Who reads the line while a call waits (where callers read it themselves).
  Lock ReadTurn;                         // held for a drain: reads and appends never interleave
  std::atomic<int32_t> CallerLeads{0};   // written by the holder of the call turn
  std::atomic<uint32_t> LeadsTaken{0};   // counted by the holder of the call turn
  std::atomic<int32_t> ReaderParked{0};  // written by the reader: aside until raised
  Signal ReaderMayRead;                  // raised for a parked reader when the lead is given back, and at close
  char LeadPiece[kLeadPieceSize];        // the call turn's

  // Flags: raised by the reader, cleared by their getters or the next open.
  std::atomic<int32_t> LimitEvent{0};
  std::atomic<int32_t> PwmFinished{0};
  std::atomic<int32_t> LineLost{0};

  // The result of the last call: written by the holder of the call turn, read
  // by the getters from any thread without waiting for it.
  std::atomic<int32_t> LastValue{0};
  std::atomic<int32_t> ErrorCode{0};
  Lock ErrorTextLock;
  char ErrorText[kErrorTextSize] TARVELIN_GUARDED_BY(ErrorTextLock) = {};
  // Points at ErrorText or at a fixed text; set after the text is complete.
  std::atomic<const char*> ErrorMessage{ErrorText};

  // The connection and the modes: the call turn's.
  int32_t PortInitialized = 0;
  int32_t Io485Mode = 0;
  int32_t AdcConfigured = 0;
  std::atomic<int32_t> PortNumber{1};  // read by the getters from any thread
  std::atomic<int32_t> BaudRate{9600};
  int32_t PortBaudRate = 9600;

  // The call turn.
  Lock CallLock;
  // The thread holding the turn; the same thread asking again can only have come
  // back through a window procedure that the library's own waiting dispatched.
  std::atomic<uint32_t> CallOwner{0};
  std::atomic<int32_t> ClosesWaiting{0};  // closes and re-opens waiting for the turn
  // Counts cancels asked for from any thread; the holder compares it with the
  // count its call started at.
  std::atomic<uint32_t> CancelRequests{0};
  uint32_t CancelsSeen = 0;               // the call turn's
  std::atomic<uint32_t> TurnSession{0};   // the channel the holder started on
  std::atomic<uint32_t> NestedCalls{0};   // calls that came back in through the holder's pumping
  // Above 0 while a wait of the library pumps messages, or a message box of
  // the library's own runs its modal loop.
  std::atomic<int32_t> MessageDispatchDepth{0};
};

// The board the classic exports act on. Made as the library loads and never
// destroyed: a reader that outlived its close, or an unload that runs after
// the runtime's destructors, still finds it.
Board& DefaultBoard();

}  // namespace tarvelin

using tarvelin::DefaultBoard;

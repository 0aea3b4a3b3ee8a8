// Boards by handle. A handle is a number that names an entry of the table of
// open boards, never an address: a NULL, closed or foreign handle is refused
// by looking it up, and nothing it points at is ever followed. Each board has
// its own call turn, line and reader, so calls on different boards run at once.
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "board/families.h"
#include "board/handle_boards.h"
#include "protocol/call_turn.h"
#include "protocol/error_texts.h"
#include "protocol/result_state.h"
#include "serial/answer_text.h"
#include "serial/comm_channel.h"
#include "tarvelin.h"

using tarvelin::Board;

namespace {

const char kBadArgumentText[] = "Missing or unusable argument";
const char kNoMemoryText[] = "Unable to open COM port: not enough memory for the board";
const char kTooManyText[] = "Unable to open COM port: 256 boards are open already";

// Texts kept per thread, so that a thread reads its own call's text even when
// other threads call on the same board in between (the library keeps no
// thread-local data: the most recent threads are remembered). Each board's
// texts have their own lock: calls on different boards never wait for each other here.
constexpr int kThreadTextSlots = 16;
struct ThreadTexts {
  tarvelin::Lock lock;
  struct {
    uint32_t thread = 0;
    char text[kErrorTextSize] = {};
  } slots[kThreadTextSlots] TARVELIN_GUARDED_BY(lock);
  int next TARVELIN_GUARDED_BY(lock) = 0;

  void Keep(uint32_t thread, const char* text) {
    tarvelin::LockGuard guard(lock);
    int at = -1;
    for (int i = 0; i < kThreadTextSlots; ++i) {
      if (slots[i].thread == thread) at = i;
    }
    if (at < 0) {
      at = next;
      next = (next + 1) % kThreadTextSlots;
    }
    slots[at].thread = thread;
    snprintf(slots[at].text, sizeof slots[at].text, "%s", text);
  }
  void Copy(uint32_t thread, char* buffer, int32_t size) {
    tarvelin::LockGuard guard(lock);
    buffer[0] = '\0';
    for (const auto& slot : slots) {
      if (slot.thread == thread) snprintf(buffer, static_cast<size_t>(size), "%s", slot.text);
    }
  }
};

// Boards open at once. A slot stays taken after its close until the last call
// that holds its board has given it back, so that a close from another thread
// never frees a board under a call.
constexpr int kSlotBits = 8;
constexpr uintptr_t kSlots = uintptr_t{1} << kSlotBits;
struct Slot {
  uintptr_t key = 0;             // the handle while the board is open; 0 once its close began
  Board* board = nullptr;        // null: the slot is free
  int users = 0;                 // the open itself, and each call holding the board
  ThreadTexts* texts = nullptr;  // each thread's last call on the board; freed with the board
};

struct Table {
  tarvelin::Lock lock;
  Slot slots[kSlots] TARVELIN_GUARDED_BY(lock);
  uintptr_t opens TARVELIN_GUARDED_BY(lock) = 0;
  ThreadTexts openFailures;
};

// Made as the library loads and never destroyed, as the default board is: an
// unload that runs after the runtime's destructors still finds it.
alignas(Table) unsigned char TableStorage[sizeof(Table)];
Table* const Boards = new (TableStorage) Table();

// A handle: the open's number, its slot, and the low bits 1011, never those of
// the address of anything a caller could have, so that a pointer passed by
// mistake is refused rather than taken for a board.
constexpr int kTagBits = 4;
constexpr uintptr_t kHandleTag = 0xB;

uintptr_t KeyOf(tarvelin_board* handle) { return reinterpret_cast<uintptr_t>(handle); }
uintptr_t SlotOf(uintptr_t key) { return (key >> kTagBits) & (kSlots - 1); }

// A board given back by its last user after its close: freed, unless a reader
// that did not leave when asked still uses it.
void FreeBoard(Board* board) {
  ReleaseLoadObjects(*board);
  if (!board->Line.IsOpen() && board->Reader.Gone()) delete board;
}

// One use of a slot's board: taken while the board is open, given back at the end.
class Held {
 public:
  explicit Held(tarvelin_board* handle) : key_(KeyOf(handle)) {
    if ((key_ & ((uintptr_t{1} << kTagBits) - 1)) != kHandleTag) return;
    tarvelin::LockGuard guard(Boards->lock);
    Slot& slot = Boards->slots[SlotOf(key_)];
    if (slot.key != key_) return;
    ++slot.users;
    board_ = slot.board;
    texts_ = slot.texts;
  }
  // Takes over a use already counted (the open's own, at its close).
  Held(uintptr_t key, Board* board) : key_(key), board_(board) {}
  ~Held() {
    if (board_ == nullptr) return;
    Board* freed = nullptr;
    {
      tarvelin::LockGuard guard(Boards->lock);
      Slot& slot = Boards->slots[SlotOf(key_)];
      if (--slot.users == 0 && slot.key == 0) {
        freed = slot.board;
        slot.board = nullptr;
        delete slot.texts;
        slot.texts = nullptr;
      }
    }
    if (freed != nullptr) FreeBoard(freed);
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

  Board* board() const { return board_; }
  // The board's text of the call this thread has just made on it, kept for this thread.
  void KeepCallText() const {
    if (texts_ == nullptr) return;
    char text[kErrorTextSize];
    {
      tarvelin::LockGuard guard(board_->ErrorTextLock);
      snprintf(text, sizeof text, "%s", board_->ErrorMessage.load());
    }
    texts_->Keep(tarvelin::CurrentThreadId(), text);
  }
  void CopyCallText(char* buffer, int32_t size) const {
    if (texts_ != nullptr) {
      texts_->Copy(tarvelin::CurrentThreadId(), buffer, size);
    } else {
      buffer[0] = '\0';
    }
  }
  // False once the handle was closed (a call that waited for the turn meanwhile).
  bool StillOpen() const {
    tarvelin::LockGuard guard(Boards->lock);
    return Boards->slots[SlotOf(key_)].key == key_;
  }

 private:
  uintptr_t key_;
  Board* board_ = nullptr;
  ThreadTexts* texts_ = nullptr;  // the slot's, kept while this use is held
};

// Ends a handle: from now on it names no board. The open's own use comes back
// with the board, for the caller to close and give back.
Board* Retire(uintptr_t key) {
  tarvelin::LockGuard guard(Boards->lock);
  Slot& slot = Boards->slots[SlotOf(key)];
  if (key == 0 || slot.key != key) return nullptr;
  slot.key = 0;
  return slot.board;
}

void KeepOpenFailure(const char* text) { Boards->openFailures.Keep(tarvelin::CurrentThreadId(), text); }

void CopyOpenFailure(char* buffer, int32_t size) {
  Boards->openFailures.Copy(tarvelin::CurrentThreadId(), buffer, size);
}

int32_t Refuse(Board& board, int32_t code, const char* text) {
  RecordFixedError(board, code, text);
  return -1;
}

// Runs a family on the handle's board under its call turn: the result state
// it leaves is read before the turn is given back, so another thread's call
// on the same board can never be read in its place.
template <typename Family>
int32_t Run(tarvelin_board* handle, Family family) {
  const Held held(handle);
  if (held.board() == nullptr) return TARVELIN_E_BAD_HANDLE;
  Board& board = *held.board();
  CallTurn turn(board);
  // A handle closed while this call waited for the turn names no board any more.
  if (!held.StillOpen()) return TARVELIN_E_BAD_HANDLE;
  if (!turn.Granted()) {
    held.KeepCallText();
    return board.ErrorCode.load();
  }
  MarkCallStart(board);
  ResetError(board);
  const int32_t result = family(board);
  const int32_t code = board.ErrorCode.load();
  held.KeepCallText();
  return result == -1 && code != TARVELIN_E_NONE ? code : TARVELIN_OK;
}

// A family whose result is a value; `value` may be null only where `optional`.
template <typename Family>
int32_t RunForValue(tarvelin_board* handle, int32_t* value, bool optional, Family family) {
  return Run(handle, [&](Board& board) {
    if (value == nullptr && !optional) return Refuse(board, TARVELIN_E_BAD_ARGUMENT, kBadArgumentText);
    const int32_t result = family(board);
    if (value != nullptr && (result != -1 || board.ErrorCode.load() == TARVELIN_E_NONE)) *value = result;
    return result;
  });
}

// "COM3" (either case) and "3" name a COM port; anything else is a device path.
// False for a port text no number fits.
bool ParsePort(const char* text, int32_t* number, bool* isNumber) {
  const char* digits = text;
  if (strncasecmp(text, "COM", 3) == 0 && isdigit(static_cast<unsigned char>(text[3]))) digits = text + 3;
  *isNumber = digits[0] != '\0';
  for (const char* c = digits; *c != '\0'; ++c) {
    if (!isdigit(static_cast<unsigned char>(*c))) *isNumber = false;
  }
  if (!*isNumber) return true;
  errno = 0;
  const long parsed = strtol(digits, nullptr, 10);
  if (errno != 0 || parsed < 1 || parsed > INT32_MAX) return false;
  *number = static_cast<int32_t>(parsed);
  return true;
}

// A progress callback runs as the library's own dispatching: a call it makes
// on the same board is refused (37) instead of running inside the sampling.
struct Progress {
  Board* board;
  tarvelin_progress progress;
  void* context;
};

int32_t TARVELIN_CALL TellProgress(void* context, int32_t received, int32_t total) {
  const auto* tell = static_cast<const Progress*>(context);
  LibraryPumping pumping(*tell->board);
  return tell->progress(tell->context, received, total);
}

// The flags are read without the call turn, as their classic getters are: never behind a call that waits.
int32_t TakeFlag(tarvelin_board* handle, int32_t* flag, std::atomic<int32_t> Board::*which) {
  const Held held(handle);
  if (held.board() == nullptr) return TARVELIN_E_BAD_HANDLE;
  if (flag == nullptr) return TARVELIN_E_BAD_ARGUMENT;
  *flag = (held.board()->*which).exchange(0, std::memory_order_acq_rel) != 0 ? 1 : 0;
  return TARVELIN_OK;
}

}  // namespace

namespace tarvelin {

void CloseHandleBoards(CloseWait wait) {
  for (uintptr_t index = 0; index < kSlots; ++index) {
    uintptr_t key = 0;
    {
      LockGuard guard(Boards->lock);
      key = Boards->slots[index].key;
    }
    Board* board = Retire(key);
    if (board == nullptr) continue;
    // At process exit nothing is given back: the system ends the readers and takes everything.
    if (wait == CloseWait::None) {
      CloseComm(*board, wait);
      continue;
    }
    const Held open(key, board);  // the open's own use, given back once closed
    CloseComm(*board, wait);
  }
}

}  // namespace tarvelin

int32_t TARVELIN_CALL tarvelin_open(const char* port, int32_t baudRate, tarvelin_board** board) {
  if (board != nullptr) *board = nullptr;
  if (port == nullptr || port[0] == '\0' || board == nullptr || baudRate <= 0) {
    KeepOpenFailure(kBadArgumentText);
    return TARVELIN_E_BAD_ARGUMENT;
  }
  int32_t number = 0;
  bool isNumber = false;
  if (!ParsePort(port, &number, &isNumber)) {
    char text[kErrorTextSize];
    snprintf(text, sizeof text, "Unable to open COM port %s: no such port", port);
    KeepOpenFailure(text);
    return TARVELIN_E_OPEN_FAILED;
  }
  Board* made = new (std::nothrow) Board(true);
  if (made == nullptr) {
    KeepOpenFailure(kNoMemoryText);
    return TARVELIN_E_OPEN_FAILED;
  }
  if (tarvelin::OpenBoard(*made, isNumber ? number : 0, isNumber ? nullptr : port, baudRate) != 1) {
    char reason[kErrorTextSize - 32];
    made->Line.DescribeOpenFailure(reason, sizeof reason);
    char text[kErrorTextSize];
    snprintf(text, sizeof text, "Unable to open COM port %s", reason);
    KeepOpenFailure(text);
    FreeBoard(made);
    return TARVELIN_E_OPEN_FAILED;
  }
  {
    tarvelin::LockGuard guard(Boards->lock);
    for (uintptr_t index = 0; index < kSlots; ++index) {
      Slot& slot = Boards->slots[index];
      if (slot.board != nullptr) continue;
      const uintptr_t key = (++Boards->opens << (kSlotBits + kTagBits)) | (index << kTagBits) | kHandleTag;
      slot = Slot{key, made, 1, new (std::nothrow) ThreadTexts};
      *board = reinterpret_cast<tarvelin_board*>(key);
      return TARVELIN_OK;
    }
  }
  CloseComm(*made);
  FreeBoard(made);
  KeepOpenFailure(kTooManyText);
  return TARVELIN_E_OPEN_FAILED;
}

int32_t TARVELIN_CALL tarvelin_close(tarvelin_board* handle) {
  Board* board = Retire(KeyOf(handle));
  if (board == nullptr) return TARVELIN_E_BAD_HANDLE;
  const Held open(KeyOf(handle), board);
  // Ends the wait of a call in progress on the board first, as a close does.
  CallTurn turn(*board, TurnKind::Close);
  CloseComm(*board);
  return TARVELIN_OK;
}

int32_t TARVELIN_CALL tarvelin_cancel(tarvelin_board* handle) {
  const Held held(handle);
  if (held.board() == nullptr) return TARVELIN_E_BAD_HANDLE;
  held.board()->CancelRequests.fetch_add(1, std::memory_order_acq_rel);
  WakeAnswerWaiter(*held.board());
  return TARVELIN_OK;
}

int32_t TARVELIN_CALL tarvelin_error_text(tarvelin_board* handle, char* buffer, int32_t size) {
  if (handle == nullptr) {
    if (buffer == nullptr || size < 1) return TARVELIN_E_BAD_ARGUMENT;
    CopyOpenFailure(buffer, size);
    return TARVELIN_OK;
  }
  const Held held(handle);
  if (held.board() == nullptr) return TARVELIN_E_BAD_HANDLE;
  if (buffer == nullptr || size < 1) return TARVELIN_E_BAD_ARGUMENT;
  held.CopyCallText(buffer, size);
  return TARVELIN_OK;
}

const char* TARVELIN_CALL tarvelin_code_text(int32_t code) { return CodeText(code); }

int32_t TARVELIN_CALL tarvelin_command(tarvelin_board* handle, const char* command, int32_t* value) {
  return RunForValue(handle, value, true, [command](Board& board) {
    return tarvelin::WriteCommand(board, command) == 1 ? board.LastValue.load() : -1;
  });
}

int32_t TARVELIN_CALL tarvelin_set_baud_rate(tarvelin_board* handle, int32_t baudRate) {
  return Run(handle, [baudRate](Board& board) { return tarvelin::ChangeBaudRate(board, baudRate); });
}

int32_t TARVELIN_CALL tarvelin_port_read(tarvelin_board* handle, int32_t port, int32_t* value) {
  return RunForValue(handle, value, false, [port](Board& board) { return tarvelin::IOPortRead(board, port); });
}

int32_t TARVELIN_CALL tarvelin_port_write(tarvelin_board* handle, int32_t port, int32_t value) {
  return Run(handle, [port, value](Board& board) { return tarvelin::IOPortWrite(board, port, value); });
}

int32_t TARVELIN_CALL tarvelin_adc(tarvelin_board* handle, int32_t resolution, int32_t channel, int32_t* value) {
  return RunForValue(handle, value, false,
                     [resolution, channel](Board& board) { return tarvelin::ADCAnalog(board, resolution, channel); });
}

int32_t TARVELIN_CALL tarvelin_adc_m2(tarvelin_board* handle, int32_t mode, int32_t* value) {
  return RunForValue(handle, value, false, [mode](Board& board) { return tarvelin::ReadADCM2(board, mode); });
}

int32_t TARVELIN_CALL tarvelin_sample(tarvelin_board* handle, int32_t resolution, int32_t channelMask, int32_t rateCode,
                                      int32_t sampleCount, int32_t* values, int32_t capacity,
                                      tarvelin_progress progress, void* context, int32_t* count) {
  if (count != nullptr) *count = 0;
  return Run(handle, [&](Board& board) {
    Progress tell{&board, progress, context};
    const tarvelin::SampleRequest request{
        resolution, channelMask, rateCode, sampleCount, values, capacity, progress != nullptr ? TellProgress : nullptr,
        &tell};
    int32_t stored = 0;
    const int32_t result = tarvelin::SampleIntoBuffer(board, request, &stored);
    if (count != nullptr) *count = stored;
    return result;
  });
}

int32_t TARVELIN_CALL tarvelin_motor_go(tarvelin_board* handle, int32_t first, int32_t second, int32_t number1,
                                        int32_t number2, int32_t number3, int32_t number4) {
  return Run(handle,
             [=](Board& board) { return tarvelin::MotorGo(board, first, second, number1, number2, number3, number4); });
}

int32_t TARVELIN_CALL tarvelin_motor_stop(tarvelin_board* handle) {
  return Run(handle, [](Board& board) { return tarvelin::MotorStop(board); });
}

int32_t TARVELIN_CALL tarvelin_motor_counter_reset(tarvelin_board* handle) {
  return Run(handle, [](Board& board) { return tarvelin::MotorCounterReset(board); });
}

int32_t TARVELIN_CALL tarvelin_motor_counter(tarvelin_board* handle, int32_t* value) {
  return RunForValue(handle, value, false, [](Board& board) { return tarvelin::GetMotorCounter(board); });
}

int32_t TARVELIN_CALL tarvelin_motor_flag(tarvelin_board* handle, int32_t* value) {
  return RunForValue(handle, value, false, [](Board& board) { return tarvelin::GetMotorFlag(board); });
}

int32_t TARVELIN_CALL tarvelin_motor_disable(tarvelin_board* handle, int32_t* value) {
  return RunForValue(handle, value, true, [](Board& board) { return tarvelin::DisableMotor(board); });
}

int32_t TARVELIN_CALL tarvelin_pwm_set(tarvelin_board* handle, int32_t frequency, int32_t dutyCycle, int32_t pulses) {
  return Run(handle, [=](Board& board) { return tarvelin::SetPWMFrequency(board, frequency, dutyCycle, pulses); });
}

int32_t TARVELIN_CALL tarvelin_pwm_counter(tarvelin_board* handle, int32_t* value) {
  return RunForValue(handle, value, false, [](Board& board) { return tarvelin::GetPWMOutputCounter(board); });
}

int32_t TARVELIN_CALL tarvelin_pwm_finished(tarvelin_board* handle, int32_t* flag) {
  return TakeFlag(handle, flag, &Board::PwmFinished);
}

int32_t TARVELIN_CALL tarvelin_limit_event(tarvelin_board* handle, int32_t* flag) {
  return TakeFlag(handle, flag, &Board::LimitEvent);
}

int32_t TARVELIN_CALL tarvelin_period(tarvelin_board* handle, int32_t* value) {
  return RunForValue(handle, value, false, [](Board& board) { return tarvelin::GetPeriod(board); });
}

int32_t TARVELIN_CALL tarvelin_io485_initialize(tarvelin_board* handle) {
  return Run(handle, [](Board& board) { return tarvelin::IO485Initialize(board); });
}

int32_t TARVELIN_CALL tarvelin_io485_reset(tarvelin_board* handle, int32_t* value) {
  return RunForValue(handle, value, true, [](Board& board) { return tarvelin::ResetIO485Network(board); });
}

int32_t TARVELIN_CALL tarvelin_io485_address(tarvelin_board* handle, int32_t address, int32_t selector,
                                             int32_t broadcast) {
  return Run(handle, [=](Board& board) { return tarvelin::IO485Address(board, address, selector, broadcast); });
}

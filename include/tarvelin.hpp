// TARVELIN for C++: boards by handle as objects, failures as exceptions.
// Header-only, over the handle API of tarvelin.h; C++17.
#ifndef TARVELIN_HPP
#define TARVELIN_HPP

#include <tarvelin.h>

// MSVC keeps __cplusplus at 199711L unless told otherwise; _MSVC_LANG is the standard in use.
#if defined(_MSVC_LANG)
#if _MSVC_LANG < 201703L
#error "tarvelin.hpp needs C++17 or later"
#endif
#elif __cplusplus < 201703L
#error "tarvelin.hpp needs C++17 or later"
#endif

#include <cstddef>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// The namespace itself stays out of the reference: its page would be man page
// tarvelin(3) and take the place of the library's own.
namespace tarvelin {

/**
 * @ingroup tarvelin
 * @brief The fixed text of a code, as tarvelin_code_text() gives it.
 * @param code a TARVELIN_E_ constant, or 0.
 * @return the text, e.g. "COM port timed out" for 26.
 */
inline std::string code_text(int32_t code) {
  const char* text = tarvelin_code_text(code);
  return text != nullptr ? text : std::string();
}

/**
 * @ingroup tarvelin
 * @brief A failed call: the code (a TARVELIN_E_ constant) and the text of the failure.
 *
 * what() is the board's text of the failure, which names the command (as
 * tarvelin_error_text() gives it), or the code's fixed text when the board has none.
 */
class Error : public std::runtime_error {
 public:
  /**
   * @brief An error of @p code with @p text.
   * @param code the TARVELIN_E_ constant.
   * @param text what went wrong.
   */
  Error(int32_t code, const std::string& text) : std::runtime_error(text), code_(code) {}

  /**
   * @brief The code of the failure.
   * @return a TARVELIN_E_ constant, e.g. #TARVELIN_E_TIMEOUT.
   */
  int32_t code() const noexcept { return code_; }

 private:
  int32_t code_;
};

/**
 * @ingroup tarvelin
 * @brief One board on its own port: opened by the constructor, closed by the destructor.
 *
 * The C++ interface (tarvelin.hpp, C++17, header-only) over the handle API:
 * @code
 * #include <tarvelin.hpp>
 *
 * tarvelin::Board board("/dev/ttyUSB0");          // or "COM3"; 9600 baud
 * int32_t b = board.port_read('B');
 * std::vector<int32_t> block = board.sample(12, 0x3, 2, 100, [](int32_t got, int32_t total) {
 *   std::printf("%d of %d\n", got, total);         // return false to stop
 * });
 * @endcode
 * Every method is the handle function of the same name (tarvelin_port_read() for
 * port_read()) and sends, checks and waits as it does; a failure throws
 * tarvelin::Error with the function's code and the board's text.
 *
 * A Board can be moved, not copied; a moved-from or closed Board is empty, and
 * its calls throw #TARVELIN_E_BAD_HANDLE. Calls on one board are served one at a
 * time; different boards run at once, each in its own thread if wanted.
 * cancel() may be called from any thread while another one waits in a call.
 *
 * The text of an Error is that of the failed call itself: the library keeps
 * each thread's text apart, so several threads may share one Board.
 */
class Board {
 public:
  /** @brief An empty board, to move an open one into. */
  Board() noexcept = default;

  /**
   * @brief Opens the board on @p port at @p baudRate, as tarvelin_open().
   * @param port "COM3", "3", or a device path such as "/dev/ttyUSB0".
   * @param baudRate the line rate; the board is not told of it (see set_baud_rate()).
   * @throw Error #TARVELIN_E_OPEN_FAILED with the device and the system's reason;
   *        #TARVELIN_E_BAD_ARGUMENT for a rate of 0 or less or a port text with a NUL in it.
   */
  explicit Board(const std::string& port, int32_t baudRate = 9600) {
    RefuseNul(port, "port");
    tarvelin_board* opened = nullptr;
    const int32_t code = tarvelin_open(port.c_str(), baudRate, &opened);
    // The reason of a failed open is kept for the calling thread, not on a board.
    if (code != TARVELIN_OK) throw Failure(nullptr, code);
    handle_ = opened;
  }

  /** @brief Closes the board; a call still waiting on it in another thread ends first. */
  ~Board() { close(); }

  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  /**
   * @brief Takes over @p other's board; @p other is left empty.
   * @param other the board to take.
   */
  Board(Board&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

  /**
   * @brief Closes this board, then takes over @p other's; @p other is left empty.
   * @param other the board to take.
   * @return this board.
   */
  Board& operator=(Board&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }

  /**
   * @brief Whether the board is open.
   * @return false once moved from or closed.
   */
  explicit operator bool() const noexcept { return handle_ != nullptr; }

  /**
   * @brief The handle, for calls of tarvelin.h; it stays owned by this Board.
   * @return the handle; NULL when empty.
   */
  tarvelin_board* handle() const noexcept { return handle_; }

  /** @brief Closes the board now, as tarvelin_close(); the Board is then empty. Nothing happens when it is empty. */
  void close() noexcept {
    if (handle_ != nullptr) tarvelin_close(std::exchange(handle_, nullptr));
  }

  /**
   * @brief Cancels the call in progress, from any thread, as tarvelin_cancel().
   *
   * The call ends within 100 ms with Error #TARVELIN_E_CANCELLED; with no call in
   * progress, or on an empty Board, nothing happens.
   */
  void cancel() const noexcept {
    if (handle_ != nullptr) tarvelin_cancel(handle_);
  }

  /**
   * @brief The text of this thread's last call on the board, as tarvelin_error_text().
   * @return the text; empty when there is none or the Board is empty.
   */
  std::string error_text() const { return handle_ != nullptr ? TextOf(handle_) : std::string(); }

  /**
   * @brief Sends a command and gives its answer's value, as tarvelin_command().
   * @param command the command text, at most 62 characters, e.g. "PRB".
   * @return the answer's value; 0 for an acknowledgement.
   * @throw Error as tarvelin_command(); #TARVELIN_E_BAD_ARGUMENT for a text with a NUL in it.
   */
  int32_t command(const std::string& command) {
    RefuseNul(command, "command");
    int32_t value = 0;
    Check(tarvelin_command(Handle(), command.c_str(), &value));
    return value;
  }

  /**
   * @brief Moves board and port to another line rate, as tarvelin_set_baud_rate().
   * @param baudRate the new rate, e.g. 19200.
   * @throw Error as tarvelin_set_baud_rate().
   */
  void set_baud_rate(int32_t baudRate) { Check(tarvelin_set_baud_rate(Handle(), baudRate)); }

  /**
   * @brief Reads a digital port, as tarvelin_port_read().
   * @param port the letter A, B, C, D or S, either case.
   * @return the port's value.
   * @throw Error as tarvelin_port_read().
   */
  int32_t port_read(char port) {
    int32_t value = 0;
    Check(tarvelin_port_read(Handle(), CharCode(port), &value));
    return value;
  }

  /**
   * @brief Writes a digital port, as tarvelin_port_write().
   * @param port the letter A, B, C, D or S, either case.
   * @param value -1 to 255.
   * @throw Error as tarvelin_port_write().
   */
  void port_write(char port, int32_t value) { Check(tarvelin_port_write(Handle(), CharCode(port), value)); }

  /**
   * @brief One conversion, as tarvelin_adc().
   * @param resolution 8, 10 or 12.
   * @param channel 0 to 14 (0 to 11 at 8 bits).
   * @return the conversion.
   * @throw Error as tarvelin_adc().
   */
  int32_t adc(int32_t resolution, int32_t channel) {
    int32_t value = 0;
    Check(tarvelin_adc(Handle(), resolution, channel, &value));
    return value;
  }

  /**
   * @brief The 10-bit reading through port S, as tarvelin_adc_m2().
   * @param mode 0 or 1.
   * @return the reading.
   * @throw Error as tarvelin_adc_m2().
   */
  int32_t adc_m2(int32_t mode) {
    int32_t value = 0;
    Check(tarvelin_adc_m2(Handle(), mode, &value));
    return value;
  }

  /**
   * @brief Block sampling, as tarvelin_sample().
   * @param resolution 8, 10 or 12.
   * @param channelMask bit n selects channel n (bits 0 to 10 count).
   * @param rateCode the board's sampling rate code 0..7.
   * @param sampleCount samples per channel.
   * @return the values as the board sends them: channels x @p sampleCount.
   * @throw Error as tarvelin_sample(); #TARVELIN_E_CANCELLED after cancel().
   */
  std::vector<int32_t> sample(int32_t resolution, int32_t channelMask, int32_t rateCode, int32_t sampleCount) {
    return Sample(resolution, channelMask, rateCode, sampleCount, nullptr, nullptr);
  }

  /**
   * @brief Block sampling with progress, as tarvelin_sample().
   *
   * @p progress is called on this thread as values arrive (at least every 50 ms
   * while the call waits) and once the block is in. What it throws cancels the
   * sampling and is thrown again from here once the call has ended.
   * @param resolution 8, 10 or 12.
   * @param channelMask bit n selects channel n (bits 0 to 10 count).
   * @param rateCode the board's sampling rate code 0..7.
   * @param sampleCount samples per channel.
   * @param progress called as (received, total); a result that converts to
   *        false cancels the sampling, a void result never does.
   * @return the values as the board sends them: channels x @p sampleCount.
   * @throw Error as tarvelin_sample(); #TARVELIN_E_CANCELLED after cancel() or
   *        when @p progress said stop; what @p progress threw.
   */
  template <class Progress>
  std::vector<int32_t> sample(int32_t resolution, int32_t channelMask, int32_t rateCode, int32_t sampleCount,
                              Progress&& progress) {
    using Callable = std::remove_reference_t<Progress>;
    Relay<Callable> relay{progress, nullptr};
    return Sample(resolution, channelMask, rateCode, sampleCount, &Relay<Callable>::Call, &relay, &relay.thrown);
  }

  /**
   * @brief Starts the stepper motor, as tarvelin_motor_go().
   * @param first first command character.
   * @param second second command character.
   * @param number1 first number.
   * @param number2 second number.
   * @param number3 third number.
   * @param number4 fourth number.
   * @throw Error as tarvelin_motor_go().
   */
  void motor_go(char first, char second, int32_t number1, int32_t number2, int32_t number3, int32_t number4) {
    Check(tarvelin_motor_go(Handle(), CharCode(first), CharCode(second), number1, number2, number3, number4));
  }

  /**
   * @brief Stops the stepper motor, as tarvelin_motor_stop().
   * @throw Error as tarvelin_motor_stop().
   */
  void motor_stop() { Check(tarvelin_motor_stop(Handle())); }

  /**
   * @brief Resets the step counter, as tarvelin_motor_counter_reset().
   * @throw Error as tarvelin_motor_counter_reset().
   */
  void motor_counter_reset() { Check(tarvelin_motor_counter_reset(Handle())); }

  /**
   * @brief Reads the step counter, as tarvelin_motor_counter().
   * @return the counter.
   * @throw Error as tarvelin_motor_counter().
   */
  int32_t motor_counter() {
    int32_t value = 0;
    Check(tarvelin_motor_counter(Handle(), &value));
    return value;
  }

  /**
   * @brief Reads the motor flag, as tarvelin_motor_flag().
   * @return the flag as the board answers it.
   * @throw Error as tarvelin_motor_flag().
   */
  int32_t motor_flag() {
    int32_t value = 0;
    Check(tarvelin_motor_flag(Handle(), &value));
    return value;
  }

  /**
   * @brief Disables the stepper motor, as tarvelin_motor_disable().
   * @return the value of the board's answer.
   * @throw Error as tarvelin_motor_disable().
   */
  int32_t motor_disable() {
    int32_t value = 0;
    Check(tarvelin_motor_disable(Handle(), &value));
    return value;
  }

  /**
   * @brief Starts the PWM output, as tarvelin_pwm_set().
   * @param frequency 15 to 15000.
   * @param dutyCycle 0 to 100.
   * @param pulses 0 to 16000000.
   * @throw Error as tarvelin_pwm_set().
   */
  void pwm_set(int32_t frequency, int32_t dutyCycle, int32_t pulses) {
    Check(tarvelin_pwm_set(Handle(), frequency, dutyCycle, pulses));
  }

  /**
   * @brief Reads the pulses put out in the current PWM run, as tarvelin_pwm_counter().
   * @return the count.
   * @throw Error as tarvelin_pwm_counter().
   */
  int32_t pwm_counter() {
    int32_t value = 0;
    Check(tarvelin_pwm_counter(Handle(), &value));
    return value;
  }

  /**
   * @brief Whether a PWM run ended since the last look, as tarvelin_pwm_finished(); sends nothing.
   * @return true once per end of run.
   * @throw Error #TARVELIN_E_BAD_HANDLE on an empty Board.
   */
  bool pwm_finished() {
    int32_t flag = 0;
    Check(tarvelin_pwm_finished(Handle(), &flag));
    return flag != 0;
  }

  /**
   * @brief Whether the limit event came since the last look, as tarvelin_limit_event(); sends nothing.
   * @return true once per event.
   * @throw Error #TARVELIN_E_BAD_HANDLE on an empty Board.
   */
  bool limit_event() {
    int32_t flag = 0;
    Check(tarvelin_limit_event(Handle(), &flag));
    return flag != 0;
  }

  /**
   * @brief Reads the measured period, as tarvelin_period().
   * @return the period.
   * @throw Error as tarvelin_period().
   */
  int32_t period() {
    int32_t value = 0;
    Check(tarvelin_period(Handle(), &value));
    return value;
  }

  /**
   * @brief Initializes the I/O-485 network, as tarvelin_io485_initialize().
   * @throw Error as tarvelin_io485_initialize().
   */
  void io485_initialize() { Check(tarvelin_io485_initialize(Handle())); }

  /**
   * @brief Resets the I/O-485 network, as tarvelin_io485_reset().
   * @return the result of the initialization it ends with.
   * @throw Error as tarvelin_io485_reset().
   */
  int32_t io485_reset() {
    int32_t value = 0;
    Check(tarvelin_io485_reset(Handle(), &value));
    return value;
  }

  /**
   * @brief Selects an I/O-485 module, as tarvelin_io485_address().
   * @param address 0 to 31.
   * @param selector the IC selector 0 to 3.
   * @param broadcast whether to address all modules.
   * @throw Error as tarvelin_io485_address().
   */
  void io485_address(int32_t address, int32_t selector, bool broadcast) {
    Check(tarvelin_io485_address(Handle(), address, selector, broadcast ? 1 : 0));
  }

 private:
  // The most values a block holds; more is refused by the library before it
  // looks at the buffer, so no buffer of that size is made for it.
  static constexpr int64_t kMostValues = 720896;

  // A progress callable and what it threw; the C side only ever sees the code.
  template <class Callable>
  struct Relay {
    Callable& progress;
    std::exception_ptr thrown;

    static int32_t TARVELIN_CALL Call(void* context, int32_t received, int32_t total) noexcept {
      auto* self = static_cast<Relay*>(context);
      if (self->thrown) return 1;
      try {
        if constexpr (std::is_void_v<std::invoke_result_t<Callable&, int32_t, int32_t>>) {
          self->progress(received, total);
          return 0;
        } else {
          return static_cast<bool>(self->progress(received, total)) ? 0 : 1;
        }
      } catch (...) {
        // An exception must not unwind through the library's frames: keep it,
        // stop the sampling, and throw it again once the call is back.
        self->thrown = std::current_exception();
        return 1;
      }
    }
  };

  std::vector<int32_t> Sample(int32_t resolution, int32_t channelMask, int32_t rateCode, int32_t sampleCount,
                              tarvelin_progress progress, void* context, std::exception_ptr* thrown = nullptr) {
    tarvelin_board* board = Handle();
    int64_t channels = 0;
    for (int bit = 0; bit <= 10; ++bit) channels += (channelMask >> bit) & 1;
    const int64_t wanted = channels * sampleCount;
    // A block the library refuses by its size gets a buffer of one value; the
    // library names the count as the reason.
    const size_t room = wanted > 0 && wanted <= kMostValues ? static_cast<size_t>(wanted) : 1;
    std::vector<int32_t> values(room);
    int32_t count = 0;
    const int32_t code = tarvelin_sample(board, resolution, channelMask, rateCode, sampleCount, values.data(),
                                         static_cast<int32_t>(room), progress, context, &count);
    if (thrown != nullptr && *thrown) std::rethrow_exception(*thrown);
    Check(code);
    if (count >= 0 && static_cast<size_t>(count) < room) values.resize(static_cast<size_t>(count));
    return values;
  }

  tarvelin_board* Handle() const {
    if (handle_ == nullptr) throw Error(TARVELIN_E_BAD_HANDLE, code_text(TARVELIN_E_BAD_HANDLE));
    return handle_;
  }

  void Check(int32_t code) const {
    if (code != TARVELIN_OK) throw Failure(handle_, code);
  }

  static Error Failure(tarvelin_board* board, int32_t code) {
    std::string text = TextOf(board);
    return Error(code, text.empty() ? code_text(code) : text);
  }

  // NULL gives the calling thread's last failed open.
  static std::string TextOf(tarvelin_board* board) {
    char text[512] = {0};
    if (tarvelin_error_text(board, text, static_cast<int32_t>(sizeof text)) != TARVELIN_OK) return std::string();
    return text;
  }

  // Letters above 127 are passed as the codes 128..255, whatever the sign of char.
  static int32_t CharCode(char letter) { return static_cast<unsigned char>(letter); }

  // The C side stops at the first NUL: the rest of the text would be dropped unseen.
  static void RefuseNul(const std::string& text, const char* what) {
    if (text.find('\0') != std::string::npos) {
      throw Error(TARVELIN_E_BAD_ARGUMENT, std::string(what) + " text contains a NUL character");
    }
  }

  tarvelin_board* handle_ = nullptr;
};

}  // namespace tarvelin

#endif  // TARVELIN_HPP

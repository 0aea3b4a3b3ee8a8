// No wrong value reported as success: answers late by a window, late past the
// whole transaction, dropped, led by an event, led by noise, holding a NUL,
// behind 64 KiB of garbage, or device errors, against a
// board that numbers its answers, with the library's clock running fast.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

#include "fake/standin_faults.h"
#include "support/board_fixture.h"
#include "tarvelin.h"

namespace {

// The library's 200 ms windows last 50 ms; the board's delays are real time.
// A sanitizer slows the board's thread in real time while the library's clock
// stays fast, which would stretch the board's late answers past the second for
// which they are owed: the clock runs slower there, and the soak is shorter.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARVELIN_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TARVELIN_SANITIZED 1
#endif
#endif
#ifdef TARVELIN_SANITIZED
constexpr double kClockScale = 2.0;
constexpr int kSoakCalls = 800;
#else
constexpr double kClockScale = 4.0;
constexpr int kSoakCalls = 3000;
#endif

int RealMs(int libraryMs) { return static_cast<int>(libraryMs / kClockScale); }

std::string ValueAnswer(const std::string& number) { return "\r\nV=" + number + "\r\n>"; }

class OwedAnswersTest : public test::OpenBoardTest {
 protected:
  void SetUp() override {
    test::OpenBoardTest::SetUp();
    standin::SetClockScale(kClockScale);
  }
  void TearDown() override {
    standin::SetClockScale(1.0);
    test::OpenBoardTest::TearDown();
  }
};

// A board that answers every command after 250 ms: the answer of the resent
// line comes after the transaction has ended and belongs to no later command.
TEST_F(OwedAnswersTest, SlowBoardNeverShiftsItsAnswers) {
  board_.SetResponder([](const std::string& line) -> std::optional<std::string> {
    if (line.empty()) return std::string();
    std::this_thread::sleep_for(std::chrono::milliseconds(RealMs(250)));
    return ValueAnswer(line.substr(1));
  });
  for (int i = 1; i <= 20; ++i) {
    ASSERT_EQ(WriteCommand(("V" + std::to_string(i)).c_str()), 1) << i << ": " << GetErrorMessage();
    EXPECT_EQ(GetValue(), i);
  }
}

enum class Fault {
  None, Dropped, PastFirstWindow, PastTransaction, EventAhead, DeviceError, NoiseAhead, NulInside, Garbage
};
constexpr unsigned kFaultKinds = 8;

TEST_F(OwedAnswersTest, FaultSoakReturnsNoWrongValue) {
  constexpr int kCalls = kSoakCalls;
  std::mt19937 random(20261208);
  std::vector<Fault> faults(kCalls + 1, Fault::None);
  for (int i = 1; i <= kCalls; ++i) {
    const unsigned roll = random() % 100;
    if (roll < kFaultKinds) faults[i] = static_cast<Fault>(roll + 1);  // about 1 % of each kind
  }
  // Each command line is "V<n>"; the board answers it with n, or with its fault
  // the first time it sees that line (a resent line is answered normally).
  std::vector<int> seen(kCalls + 1, 0);
  board_.SetResponder([&](const std::string& line) -> std::optional<std::string> {
    if (line.size() < 2 || line[0] != 'V') return std::string();
    const int n = std::stoi(line.substr(1));
    if (n < 1 || n > kCalls) return std::string();
    if (seen[n]++ > 0) return ValueAnswer(line.substr(1));
    switch (faults[n]) {
      case Fault::Dropped:
        return std::string();
      case Fault::PastFirstWindow:
        std::this_thread::sleep_for(std::chrono::milliseconds(RealMs(350)));
        break;
      case Fault::PastTransaction:
        std::this_thread::sleep_for(std::chrono::milliseconds(RealMs(700)));
        break;
      case Fault::EventAhead:
        return (n % 2 == 0 ? "P" : "L") + ValueAnswer(line.substr(1));
      case Fault::DeviceError:
        return std::string("\r\n?5\r\n>");
      case Fault::NoiseAhead:
        return (n % 2 == 0 ? "x" : "abc\r\n") + ValueAnswer(line.substr(1));
      case Fault::NulInside:
        return "\r\nV=" + line.substr(1, 1) + std::string(1, '\0') + line.substr(2) + "\r\n>";
      case Fault::Garbage:
        return std::string(64 << 10, 'g') + ValueAnswer(line.substr(1));
      case Fault::None:
        break;
    }
    return ValueAnswer(line.substr(1));
  });

  int right = 0, errors = 0, wrong = 0;
  for (int i = 1; i <= kCalls; ++i) {
    const int32_t result = WriteCommand(("V" + std::to_string(i)).c_str());
    if (result == 1 && GetValue() == i) {
      ++right;
    } else if (result == -1 && GetError() > 0 && GetErrorMessage()[0] != '\0') {
      ++errors;
    } else {
      ++wrong;
      ADD_FAILURE() << "call " << i << " returned " << result << " with value " << GetValue();
    }
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(right, kCalls * 9 / 10);
  printf("soak: %d calls, right: %d, clean errors: %d, wrong: %d\n", kCalls, right, errors, wrong);
}

}  // namespace

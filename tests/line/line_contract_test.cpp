// The serial line, host and reader thread against what the library counts on,
// on a pseudo-terminal: the test holds the master side, the line opens the
// slave as it would open a serial port. Built twice: against the POSIX line,
// and against the win32 line on the test fake; what only one of them has is
// marked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/host.h"
#include "platform/reader_thread.h"
#include "platform/serial_line.h"
#include "support/vb_array.h"

namespace tarvelin {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A pseudo-terminal pair whose slave the line opens by its path.
class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master_, 0) << strerror(errno);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    char name[128];
    ASSERT_EQ(ptsname_r(master_, name, sizeof name), 0);
    slave_ = name;
  }
  void TearDown() override { CloseMaster(); }

  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  // Opens and configures the line on the slave as the library does, by its
  // port number (both lines map COM9 to the device TARVELIN_COM9 names): raw 8N1.
  void OpenLine(SerialLine& line) {
    ASSERT_EQ(setenv("TARVELIN_COM9", slave_.c_str(), 1), 0);
    ASSERT_EQ(line.OpenPort(9), LineResult::Done);
    LineSettings settings;
    settings.baudRate = 115200;
    ASSERT_EQ(line.Configure(settings), LineResult::Done);
  }

  // Reads from the master until `count` bytes came or a second passed without any.
  std::string ReadMaster(size_t count) {
    std::string got;
    char buffer[256];
    while (got.size() < count) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) break;
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }

  // Writes from the line until the pty's queue toward the master is full.
  void FillTowardMaster(SerialLine& line) {
    std::vector<char> mib(1 << 20, 'x');
    ASSERT_EQ(line.Write(mib.data(), mib.size(), 300, nullptr), LineResult::TimedOut);
  }

  int master_ = -1;
  std::string slave_;
};

using LineReading = PtyTest;

TEST_F(LineReading, BytesSentBeforeTheFirstWaitAreReadableAndReadWhole) {
  SerialLine line;
  OpenLine(line);
  ASSERT_EQ(write(master_, "A0123\r", 6), 6);
  ASSERT_EQ(line.WaitReadable(2000), LineResult::Done);
  char buffer[64];
  std::string got;
  // The pty hands the bytes to the slave's queue from a work item: take what came in a few reads.
  for (int round = 0; round < 20 && got.size() < 6; ++round) {
    const LineRead read = line.Read(buffer, sizeof buffer);
    ASSERT_EQ(read.result, LineResult::Done);
    EXPECT_FALSE(read.inputLost);
    got.append(buffer, read.bytes);
    if (got.size() < 6) {
      ASSERT_EQ(line.WaitReadable(2000), LineResult::Done);
    }
  }
  EXPECT_EQ(got, "A0123\r");
}

TEST_F(LineReading, WaitTimesOutWhenNothingComes) {
  SerialLine line;
  OpenLine(line);
  const auto start = Clock::now();
  EXPECT_EQ(line.WaitReadable(200), LineResult::TimedOut);
  EXPECT_GE(MsSince(start), 190);
  EXPECT_LT(MsSince(start), 2000);
}

TEST_F(LineReading, WakeFromAnotherThreadEndsALongWait) {
  SerialLine line;
  OpenLine(line);
  Clock::time_point woke;
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    woke = Clock::now();
    line.Wake();
  });
  const LineResult result = line.WaitReadable(10000);
  const auto ended = Clock::now();
  waker.join();
  const auto latency = std::chrono::duration_cast<std::chrono::microseconds>(ended - woke).count();
  EXPECT_EQ(result, LineResult::Woken);
  printf("wake latency: %lld us\n", static_cast<long long>(latency));
  EXPECT_LT(latency, 1000000);
}

// A lead waits beside the reader with a wake of its own: waking one never ends the other's wait.
#ifndef TARVELIN_WIN32_SEAM  // the POSIX line only
TEST_F(LineReading, LeadAndReaderWakesAreSeparate) {
  SerialLine line;
  OpenLine(line);
  line.WakeLead();
  EXPECT_EQ(line.WaitReadable(50), LineResult::TimedOut);
  EXPECT_EQ(line.LeadWaitReadable(50), LineResult::Woken);
  line.Wake();
  EXPECT_EQ(line.LeadWaitReadable(50), LineResult::TimedOut);
  EXPECT_EQ(line.WaitReadable(50), LineResult::Woken);
}
#endif

#ifndef TARVELIN_WIN32_SEAM  // the POSIX line only
TEST_F(LineReading, WakeBeforeAWaitEndsTheNextWaitOnlyAtOnce) {
  SerialLine line;
  OpenLine(line);
  line.Wake();
  const auto start = Clock::now();
  EXPECT_EQ(line.WaitReadable(10000), LineResult::Woken);
  EXPECT_LT(MsSince(start), 1000);
  // The wake was used up: the wait after it sleeps to its deadline.
  EXPECT_EQ(line.WaitReadable(100), LineResult::TimedOut);
  // A wake left over when the line closed is not taken for one meant for the next open.
  line.Wake();
  line.Close();
  OpenLine(line);
  EXPECT_EQ(line.WaitReadable(100), LineResult::TimedOut);
}
#endif

#ifndef TARVELIN_WIN32_SEAM  // the POSIX line only
TEST_F(LineReading, HangUpIsGoneForTheWaitAndTheRead) {
  SerialLine line;
  OpenLine(line);
  CloseMaster();
  const auto start = Clock::now();
  EXPECT_EQ(line.WaitReadable(5000), LineResult::Gone);
  EXPECT_LT(MsSince(start), 1000);
  char buffer[16];
  EXPECT_EQ(line.Read(buffer, sizeof buffer).result, LineResult::Gone);
  EXPECT_NE(line.SystemError(), 0u);
  EXPECT_EQ(line.Write("X", 1, 1000, nullptr), LineResult::Gone);
}
#endif

using LineOpening = PtyTest;

#ifndef TARVELIN_WIN32_SEAM  // the POSIX line only
TEST_F(LineOpening, PortNumberFindsTheDeviceItsVariableNames) {
  ASSERT_EQ(setenv("TARVELIN_COM7", slave_.c_str(), 1), 0);
  SerialLine line;
  EXPECT_EQ(line.OpenPort(7), LineResult::Done);
  EXPECT_TRUE(line.IsOpen());
  unsetenv("TARVELIN_COM7");
  // Without the variable, the port's number counts the system's serial ports from 1.
  SerialLine fallback;
  char text[256];
  if (fallback.OpenPort(7) != LineResult::Done) {
    fallback.DescribeOpenFailure(text, sizeof text);
    EXPECT_EQ(strncmp(text, "/dev/ttyS6: ", 12), 0) << text;
  }
}
#endif

#ifndef TARVELIN_WIN32_SEAM  // the POSIX line only
TEST_F(LineOpening, ASecondOpenOfTheDeviceIsRefusedAsInUse) {
  SerialLine first;
  ASSERT_EQ(first.OpenDevice(slave_.c_str()), LineResult::Done);
  SerialLine second;
  EXPECT_EQ(second.OpenDevice(slave_.c_str()), LineResult::Failed);
  EXPECT_FALSE(second.IsOpen());
  char text[256];
  second.DescribeOpenFailure(text, sizeof text);
  EXPECT_EQ(std::string(text), slave_ + ": in use by another program");
  // Nor may the open line take a second device.
  EXPECT_EQ(first.OpenDevice(slave_.c_str()), LineResult::Failed);
  EXPECT_TRUE(first.IsOpen());
  // Once closed, the device is free again.
  first.Close();
  EXPECT_EQ(second.OpenDevice(slave_.c_str()), LineResult::Done);
}
#endif

#ifndef TARVELIN_WIN32_SEAM  // the POSIX line only
TEST_F(LineOpening, BadPortsAndPathsFailWithAReason) {
  SerialLine line;
  char text[256];
  EXPECT_EQ(line.OpenPort(0), LineResult::Failed);
  line.DescribeOpenFailure(text, sizeof text);
  EXPECT_STREQ(text, "COM0: No such device");
  EXPECT_EQ(line.OpenDevice("/nonexistent"), LineResult::Failed);
  line.DescribeOpenFailure(text, sizeof text);
  EXPECT_STREQ(text, "/nonexistent: No such file or directory");
  EXPECT_EQ(line.SystemError(), static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(line.OpenDevice("/dev/null"), LineResult::Failed);
  line.DescribeOpenFailure(text, sizeof text);
  EXPECT_STREQ(text, "/dev/null: not a serial device");
  EXPECT_EQ(line.OpenDevice(nullptr), LineResult::Failed);
  line.DescribeOpenFailure(text, 8);  // cut to fit, terminated
  EXPECT_EQ(strlen(text), 7u);
  // What a line that never opened is asked does not touch a device.
  char buffer[4];
  EXPECT_EQ(line.Read(buffer, sizeof buffer).result, LineResult::Failed);
  EXPECT_EQ(line.Write("X", 1, 100, nullptr), LineResult::Failed);
  EXPECT_EQ(line.WaitReadable(100), LineResult::Failed);
  line.Wake();
  line.Close();
  line.Close();
}
#endif

std::vector<int> OpenDescriptors() {
  std::vector<int> open;
  for (int fd = 0; fd < 1024; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0) open.push_back(fd);
  }
  return open;
}

#ifndef TARVELIN_WIN32_SEAM  // the POSIX line only
TEST_F(LineOpening, OpensAndClosesLeaveNoDescriptorBehind) {
  const std::vector<int> before = OpenDescriptors();
  {
    SerialLine line;
    ASSERT_EQ(line.OpenDevice(slave_.c_str()), LineResult::Done);
    const std::vector<int> during = OpenDescriptors();
    EXPECT_EQ(during.size(), before.size() + 3);  // the device, the reader's wake and a lead's
    // Neither is handed to a program the host starts.
    for (int fd : during) {
      if (std::find(before.begin(), before.end(), fd) == before.end()) {
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
      }
    }
    SerialLine refused;
    EXPECT_EQ(refused.OpenDevice(slave_.c_str()), LineResult::Failed);
    EXPECT_EQ(refused.OpenDevice("/dev/null"), LineResult::Failed);
    line.Close();
    EXPECT_EQ(OpenDescriptors().size(), during.size() - 1);  // the device; the wakes stay with the object
    ASSERT_EQ(line.OpenDevice(slave_.c_str()), LineResult::Done);
    EXPECT_EQ(OpenDescriptors(), during);
  }  // the destructor closes all three
  EXPECT_EQ(OpenDescriptors(), before);
}
#endif

// Both lines: the hang-up ends the wait at once, and the wait or the read
// right after it says the line is gone.
TEST_F(LineReading, HangUpIsReportedWithinOneWait) {
  SerialLine line;
  OpenLine(line);
  CloseMaster();
  const auto start = Clock::now();
  const LineResult waited = line.WaitReadable(5000);
  EXPECT_LT(MsSince(start), 1000);
  char buffer[16];
  const LineResult read = waited == LineResult::Gone ? waited : line.Read(buffer, sizeof buffer).result;
  EXPECT_EQ(read, LineResult::Gone) << "the wait gave " << static_cast<int>(waited);
}

// Both lines: a port held by one line is refused to another, as in use.
TEST_F(LineOpening, ASecondOpenOfThePortIsRefused) {
  SerialLine first;
  OpenLine(first);
  SerialLine second;
  EXPECT_EQ(second.OpenPort(9), LineResult::Failed);
  char text[256];
  second.DescribeOpenFailure(text, sizeof text);
  EXPECT_NE(strstr(text, "in use by another program"), nullptr) << text;
}

using LineWriting = PtyTest;

TEST_F(LineWriting, ACommandReachesTheOtherSideByteForByte) {
  SerialLine line;
  OpenLine(line);
  const char command[] = "B1\r\n\x00\xff\x11\x13";  // raw: no translation, no flow control bytes eaten
  ASSERT_EQ(line.Write(command, sizeof command - 1, 1000, nullptr), LineResult::Done);
  EXPECT_EQ(ReadMaster(sizeof command - 1), std::string(command, sizeof command - 1));
}

#ifndef TARVELIN_WIN32_SEAM  // the POSIX line only
TEST_F(LineWriting, AStalledWriteEndsAtItsDeadline) {
  SerialLine line;
  OpenLine(line);
  FillTowardMaster(line);
  const auto start = Clock::now();
  EXPECT_EQ(line.Write("Z", 1, 300, nullptr), LineResult::TimedOut);
  const int64_t took = MsSince(start);
  printf("write deadline 300 ms: returned after %lld ms\n", static_cast<long long>(took));
  EXPECT_GE(took, 250);
  EXPECT_LT(took, 2000);
}
#endif

#ifndef TARVELIN_WIN32_SEAM  // the POSIX line only
TEST_F(LineWriting, AStalledWriteEndsSoonAfterItIsCut) {
  SerialLine line;
  OpenLine(line);
  FillTowardMaster(line);
  std::atomic<int32_t> cut{0};
  Clock::time_point raised;
  std::thread cutter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(125));  // between two of the write's looks
    raised = Clock::now();
    cut.store(1);
  });
  const LineResult result = line.Write("Z", 1, 10000, &cut);
  const auto ended = Clock::now();
  cutter.join();
  const auto latency = std::chrono::duration_cast<std::chrono::milliseconds>(ended - raised).count();
  EXPECT_EQ(result, LineResult::Cut);
  printf("cut latency: %lld ms\n", static_cast<long long>(latency));
  EXPECT_LT(latency, 1000);
}
#endif

#ifndef TARVELIN_WIN32_SEAM  // the POSIX line only
TEST_F(LineWriting, SettingsAndRateReachTheDevice) {
  SerialLine line;
  ASSERT_EQ(line.OpenDevice(slave_.c_str()), LineResult::Done);
  // A pseudo-terminal keeps eight data bits without parity whatever it is told,
  // so the stop bits, handshakes and rate are what it can show.
  LineSettings settings;
  settings.baudRate = 115200;
  settings.stopBits = LineStopBits::OneAndAHalf;
  settings.ctsFlow = true;
  settings.xonXoff = true;
  ASSERT_EQ(line.Configure(settings), LineResult::Done);
  // The master reports the slave's settings.
  termios t{};
  ASSERT_EQ(tcgetattr(master_, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS | CLOCAL | CREAD), static_cast<tcflag_t>(CSTOPB | CRTSCTS | CLOCAL | CREAD));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  settings = LineSettings{};
  settings.baudRate = 115200;
  ASSERT_EQ(line.Configure(settings), LineResult::Done);
  ASSERT_EQ(line.SetRate(19200), LineResult::Done);
  ASSERT_EQ(tcgetattr(master_, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
  EXPECT_EQ(line.SetDtr(false), LineResult::Done);
  // Settings no device takes are refused, and leave the line as it was.
  EXPECT_EQ(line.SetRate(12345), LineResult::Failed);
  EXPECT_EQ(line.SystemError(), static_cast<uint32_t>(EINVAL));
  settings.byteSize = 9;
  EXPECT_EQ(line.Configure(settings), LineResult::Failed);
  settings.byteSize = 4;
  EXPECT_EQ(line.Configure(settings), LineResult::Failed);
  settings.byteSize = 8;
  settings.baudRate = 0;
  EXPECT_EQ(line.Configure(settings), LineResult::Failed);
  ASSERT_EQ(tcgetattr(master_, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
}
#endif

TEST(HostLock, ExcludesOtherThreads) {
  static Lock lock;
  uint64_t counter = 0;
  auto work = [&] {
    for (int i = 0; i < 100000; ++i) {
      LockGuard guard(lock);
      ++counter;
    }
  };
  std::thread a(work);
  std::thread b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 200000u);
}

TEST(HostSignal, RaisedFromAnotherThreadEndsTheWait) {
  Signal signal;
  ASSERT_TRUE(signal.Make());
  ASSERT_TRUE(signal.Make());
  std::thread raiser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    signal.Raise();
  });
  const auto start = Clock::now();
  EXPECT_EQ(signal.WaitFor(10000, true), Signal::Wait::Raised);
  EXPECT_LT(MsSince(start), 2000);
  raiser.join();
  // It stays raised until reset.
  EXPECT_EQ(signal.WaitFor(0, false), Signal::Wait::Raised);
  signal.Reset();
  EXPECT_EQ(signal.WaitFor(0, false), Signal::Wait::Other);
  signal.Release();
  EXPECT_FALSE(signal.Made());
  EXPECT_EQ(signal.WaitFor(0, false), Signal::Wait::Failed);
}

TEST(HostSignal, WaitTimesOutAfterItsTime) {
  Signal signal;
  ASSERT_TRUE(signal.Make());
  const uint32_t before = NowMs();
  const auto start = Clock::now();
  EXPECT_EQ(signal.WaitFor(200, false), Signal::Wait::Other);
  const int64_t took = MsSince(start);
  EXPECT_GE(took, 190);
  EXPECT_LT(took, 2000);
  // The library's clock saw the same time pass.
  EXPECT_GE(NowMs() - before, 190u);
  signal.Release();
}

TEST(HostEnvironment, CopiesOnlyWhatFits) {
  ASSERT_EQ(setenv("TARVELIN_LINE_TEST", "abcdef", 1), 0);
  char value[8];
  EXPECT_EQ(ReadEnvironment("TARVELIN_LINE_TEST", value, sizeof value), 6u);
  EXPECT_STREQ(value, "abcdef");
  memset(value, 'q', sizeof value);
  EXPECT_GE(ReadEnvironment("TARVELIN_LINE_TEST", value, 6), 6u);
  EXPECT_EQ(value[0], 'q');
  EXPECT_EQ(ReadEnvironment("TARVELIN_LINE_TEST_UNSET", value, sizeof value), 0u);
  unsetenv("TARVELIN_LINE_TEST");
}

// An array as a Visual Basic caller hands it over: the variant type right before the descriptor.
struct Described {
  uint32_t padding;
  uint32_t vartype;
  tagSAFEARRAY array;
};
static_assert(offsetof(Described, array) - offsetof(Described, vartype) == sizeof(uint32_t),
              "the variant type sits right before the descriptor");

TEST(HostVbArray, StoresIntegersInsideItsBoundsOnly) {
  int32_t cells[3] = {0, 0, 0};
  Described d{0, 3, {1, 0x80, 4, 0, cells, {{3, 5}}}};
  tagSAFEARRAY* array = &d.array;
  ASSERT_TRUE(VbArrayHoldsIntegers(array));
  int64_t lower = 0;
  int64_t count = 0;
  VbArrayBounds(array, &lower, &count);
  EXPECT_EQ(lower, 5);
  EXPECT_EQ(count, 3);
  ASSERT_TRUE(VbArrayLock(array));
  // The array's own indices, 5 to 7.
  EXPECT_TRUE(VbArrayStore(array, 5, 11));
  EXPECT_TRUE(VbArrayStore(array, 7, 33));
  EXPECT_FALSE(VbArrayStore(array, 8, 44));
  EXPECT_FALSE(VbArrayStore(array, 4, 44));
  EXPECT_FALSE(VbArrayStore(array, INT64_MAX, 44));
  EXPECT_FALSE(VbArrayStore(array, INT64_MIN, 44));
  EXPECT_EQ(cells[0], 11);
  EXPECT_EQ(cells[1], 0);
  EXPECT_EQ(cells[2], 33);
  EXPECT_EQ(d.array.cLocks, 1u);
  VbArrayUnlock(array);
  VbArrayUnlock(array);  // not below zero
  EXPECT_EQ(d.array.cLocks, 0u);
  d.array.pvData = nullptr;
  EXPECT_FALSE(VbArrayStore(array, 5, 1));
}

TEST(HostVbArray, OnlyOneDimensionOfIntegersIsAccepted) {
  int32_t cells[2] = {0, 0};
  Described single{0, 4, {1, 0x80, 4, 0, cells, {{2, 0}}}};  // Single: four bytes, not integers
  EXPECT_FALSE(VbArrayHoldsIntegers(&single.array));
  Described strings{0, 8, {1, 0x80 | 0x100, 4, 0, cells, {{2, 0}}}};
  EXPECT_FALSE(VbArrayHoldsIntegers(&strings.array));
  EXPECT_FALSE(VbArrayStore(&strings.array, 0, 1));
  Described wide{0, 20, {1, 0x80, 8, 0, cells, {{1, 0}}}};
  EXPECT_FALSE(VbArrayHoldsIntegers(&wide.array));
  EXPECT_FALSE(VbArrayStore(&wide.array, 0, 1));
  Described untyped{0, 0, {1, 0, 4, 0, cells, {{2, 0}}}};
  EXPECT_TRUE(VbArrayHoldsIntegers(&untyped.array));
  EXPECT_FALSE(VbArrayHoldsIntegers(nullptr));
}

// The reader thread's start and stop, with a body that runs until told.
std::atomic<int32_t> Running{0};
std::atomic<int32_t> BodyRuns{0};
std::atomic<int32_t> SeenRun{0};
std::atomic<int32_t> HoldMs{0};  // how long the body lingers after being told to stop

void Body(void*, int32_t runNumber) {
  SeenRun.store(runNumber);
  BodyRuns.fetch_add(1);
  while (Running.load() == runNumber) SleepMs(5);
  SleepMs(static_cast<uint32_t>(HoldMs.load()));
}

TEST(ReaderThread, RunsTheBodyAndIsSeenToEnd) {
  BodyRuns.store(0);
  HoldMs.store(0);
  Running.store(41);
  ReaderThread reader;
  ASSERT_TRUE(reader.Start(Body, nullptr, 41, &Running));
  EXPECT_TRUE(reader.RaisePriority([](void*, const char*) {}, nullptr));
  EXPECT_FALSE(reader.Gone());
  Running.store(0);
  EXPECT_TRUE(reader.Stop(CloseWait::Full));
  EXPECT_EQ(BodyRuns.load(), 1);
  EXPECT_EQ(SeenRun.load(), 41);
  EXPECT_TRUE(reader.Gone());
  reader.ReleaseObjects();
}

// Each board has a reader of its own: two run at once and stop apart.
TEST(ReaderThread, TwoReadersRunAtOnceAndStopApart) {
  std::atomic<int32_t> first{3};
  std::atomic<int32_t> second{4};
  std::atomic<int32_t> inBodies{0};
  const auto body = [](void* count, int32_t) {
    auto* running = static_cast<std::atomic<int32_t>*>(count);
    running->fetch_add(1);
  };
  ReaderThread one;
  ReaderThread two;
  ASSERT_TRUE(one.Start(body, &inBodies, 3, &first));
  ASSERT_TRUE(two.Start(body, &inBodies, 4, &second));
  EXPECT_TRUE(one.Stop(CloseWait::Full));
  EXPECT_TRUE(two.Stop(CloseWait::Full));
  EXPECT_EQ(inBodies.load(), 2);
  EXPECT_TRUE(one.Gone());
  EXPECT_TRUE(two.Gone());
}

#ifndef TARVELIN_WIN32_SEAM  // the POSIX line only
TEST(ReaderThread, AStaleRunNumberNeverRunsTheBody) {
  BodyRuns.store(0);
  Running.store(7);
  const auto start = Clock::now();
  ReaderThread reader;
  EXPECT_FALSE(reader.Start(Body, nullptr, 6, &Running));
  EXPECT_LT(MsSince(start), 2000);  // told at once, not after the start's time-out
  for (int i = 0; i < 200 && !reader.Gone(); ++i) SleepMs(5);
  EXPECT_TRUE(reader.Gone());
  EXPECT_EQ(BodyRuns.load(), 0);
  Running.store(0);
}
#endif

#ifndef TARVELIN_WIN32_SEAM  // the POSIX line only
TEST(ReaderThread, AReaderThatLingersIsLeftRunningAndCounted) {
  BodyRuns.store(0);
  HoldMs.store(3000);
  Running.store(9);
  ReaderThread reader;
  ASSERT_TRUE(reader.Start(Body, nullptr, 9, &Running));
  Running.store(0);
  const auto start = Clock::now();
  EXPECT_FALSE(reader.Stop(CloseWait::ReaderDone));
  EXPECT_GE(MsSince(start), 900);
  EXPECT_LT(MsSince(start), 2500);
  EXPECT_FALSE(reader.Gone());
  for (int i = 0; i < 1000 && !reader.Gone(); ++i) SleepMs(5);
  EXPECT_TRUE(reader.Gone());
  HoldMs.store(0);
}
#endif

TEST(HostClock, ThreadIdsAreNonzeroAndDistinct) {
  const uint32_t mine = CurrentThreadId();
  uint32_t other = 0;
  std::thread([&] { other = CurrentThreadId(); }).join();
  EXPECT_NE(mine, 0u);
  EXPECT_NE(other, 0u);
  EXPECT_NE(mine, other);
}

}  // namespace
}  // namespace tarvelin

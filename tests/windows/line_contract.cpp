// The win32 line's contract under Wine, against the virtual board on a COM
// port mapped to a pseudo-terminal: what a Windows driver must give the line
// (a wake that ends a wait, bytes queued before the first wait, an answer read
// whole, a port that is not there refused with a reason). A second open and a
// hang-up are left to the test fake: Wine lets a port be opened twice, and the
// board's side of the line is out of a Windows program's reach. Wine ends a
// wait on a pseudo-terminal at once (aborted); the checks allow for that.
//
//   tarvelin_linetest.exe <port> <missing port>
//
// Prints one line per check and "line: N passed, N failed"; exits nonzero on a failure.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/host.h"
#include "platform/serial_line.h"

using tarvelin::LineResult;
using tarvelin::SerialLine;

namespace {

int Passed = 0;
int Failed = 0;

bool Check(bool ok, const char* what, long figure = -1) {
  if (figure >= 0) {
    printf("%s %s (%ld ms)\n", ok ? "ok  " : "FAIL", what, figure);
  } else {
    printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  }
  (ok ? Passed : Failed) += 1;
  return ok;
}

long Since(DWORD start) { return static_cast<long>(GetTickCount() - start); }

struct WakeLater {
  SerialLine* line;
  DWORD delayMs;
  DWORD wokeAt;
};

DWORD WINAPI WakeAfterDelay(LPVOID argument) {
  auto* wake = static_cast<WakeLater*>(argument);
  Sleep(wake->delayMs);
  wake->wokeAt = GetTickCount();
  wake->line->Wake();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    printf("usage: tarvelin_linetest <port> <missing port>\nline: 0 passed, 1 failed\n");
    return 2;
  }
  const int port = atoi(argv[1]);
  const int missing = atoi(argv[2]);

  SerialLine line;
  if (!Check(line.OpenPort(port) == LineResult::Done, "the board's port opens")) {
    printf("line: %d passed, %d failed\n", Passed, Failed);
    return 1;
  }
  tarvelin::LineSettings settings;
  Check(line.Configure(settings) == LineResult::Done, "9600 8N1 applied");

  // The board answers while nobody waits: the first wait finds the answer queued.
  Check(line.Write("PRB\r", 4, 1000, nullptr) == LineResult::Done, "a command written");
  Sleep(300);
  DWORD start = GetTickCount();
  const LineResult queued = line.WaitReadable(2000);
  Check(queued == LineResult::Done && Since(start) < 200, "bytes queued before the first wait end it at once",
        Since(start));
  char answer[256];
  size_t got = 0;
  for (int round = 0; round < 20 && (got == 0 || memchr(answer, '>', got) == nullptr); ++round) {
    got += line.Read(answer + got, sizeof answer - 1 - got).bytes;
    if (memchr(answer, '>', got) == nullptr) line.WaitReadable(200);
  }
  answer[got] = '\0';
  Check(memchr(answer, '>', got) != nullptr, "the answer is read whole, up to its prompt");

  // A wake from another thread ends a long wait. Under Wine a wait on a
  // pseudo-terminal ends at once, aborted, so the waits are taken up again
  // until the wake is seen.
  WakeLater later{&line, 200, 0};
  HANDLE waker = CreateThread(nullptr, 0, WakeAfterDelay, &later, 0, nullptr);
  start = GetTickCount();
  LineResult woken = line.WaitReadable(10000);
  int spurious = 0;
  while ((woken == LineResult::Done || woken == LineResult::Failed) && Since(start) < 5000) {
    if (woken == LineResult::Done) line.Read(answer, sizeof answer);
    ++spurious;
    woken = line.WaitReadable(10000);
  }
  const long latency = later.wokeAt != 0 ? static_cast<long>(GetTickCount() - later.wokeAt) : -1;
  WaitForSingleObject(waker, 5000);
  CloseHandle(waker);
  printf("     waits that ended before the wake: %d\n", spurious);
  Check(woken == LineResult::Woken && latency >= 0 && latency < 1000, "a wake from another thread ends the wait",
        latency);

  // A wake that comes first ends the next wait at once.
  line.Wake();
  start = GetTickCount();
  Check(line.WaitReadable(5000) == LineResult::Woken && Since(start) < 1000, "a wake before a wait ends it at once",
        Since(start));

  line.SetDtr(false);
  line.Discard();
  line.Close();
  Check(!line.IsOpen(), "the port closes");

  SerialLine absent;
  char reason[256] = "";
  const bool refused = absent.OpenPort(missing) == LineResult::Failed;
  absent.DescribeOpenFailure(reason, sizeof reason);
  printf("     %s\n", reason);
  Check(refused && strchr(reason, ':') != nullptr && strlen(strchr(reason, ':')) > 2,
        "a port that is not there is refused with the system's reason");

  printf("calls: 0\n");  // none of the DLL's: the line is built in
  printf("line: %d passed, %d failed\n", Passed, Failed);
  return Failed == 0 ? 0 : 1;
}

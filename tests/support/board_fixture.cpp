#include "support/board_fixture.h"

#include <cstdlib>
#include <new>

#ifdef TARVELIN_WIN32_SEAM
#include "fake/standin_faults.h"
#include "platform/win32/win32_line.h"
#endif
#include "protocol/baud_rate.h"
#include "protocol/result_state.h"
#include "serial/answer_text.h"
#include "serial/comm_channel.h"
#include "tarvelin.h"

namespace test {

void ResetLibraryState() {
  CloseComm(DefaultBoard());
#ifdef TARVELIN_WIN32_SEAM
  standin::ResetFaults();
#endif
  // A fresh board in place of the default one, as loading makes it.
  tarvelin::Board& board = DefaultBoard();
  board.~Board();
  new (&board) tarvelin::Board();
}

#ifdef TARVELIN_WIN32_SEAM
void* LinePort() { return tarvelin::Win32PortHandle(DefaultBoard().CommChannel.Line); }
#endif

void BoardTest::SetUp() {
  ResetLibraryState();
  ASSERT_TRUE(board_.Start()) << board_.Error();
  setenv(("TARVELIN_COM" + std::to_string(kBoardPort)).c_str(), board_.SlavePath().c_str(), 1);
}

void BoardTest::TearDown() {
  ResetLibraryState();
  board_.Stop();
}

void OpenBoardTest::SetUp() {
  BoardTest::SetUp();
  ASSERT_EQ(PortOpen(kBoardPort), 1) << GetErrorMessage();
}

void AnswerAlways(tarvelin::board::VirtualBoard& board, const std::string& answer) {
  board.SetResponder([answer](const std::string& line) -> std::optional<std::string> {
    if (line.empty()) return std::string();
    return answer;
  });
}

}  // namespace test

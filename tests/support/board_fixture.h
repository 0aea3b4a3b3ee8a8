// A virtual board on a pseudo-terminal mapped to a COM port number, and a
// fresh default board of the library's between tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "virtual_board.h"

namespace test {

constexpr int kBoardPort = 5;

// Closes the port and puts a fresh default board in place of the old one.
void ResetLibraryState();

// A board mapped to COM5, not yet opened by the library.
class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  tarvelin::board::VirtualBoard board_;
};

// As BoardTest, with the port opened by PortOpen.
class OpenBoardTest : public BoardTest {
 protected:
  void SetUp() override;
};

// The open port's handle as the win32 line holds it (INVALID_HANDLE_VALUE when closed).
void* LinePort();

// Answers every command line with the same text.
void AnswerAlways(tarvelin::board::VirtualBoard& board, const std::string& answer);

}  // namespace test

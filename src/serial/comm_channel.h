// The one serial channel of the process: the line, its reader thread, the
// line settings and the binding to the answer text that the reader fills.
#pragma once

#include <atomic>
#include <cstdint>

#include "board/board.h"
#include "platform/host.h"
#include "platform/reader_thread.h"
#include "platform/serial_line.h"

using tarvelin::CloseWait;

void SetCommSettings(tarvelin::Board& board, int32_t nominalBaudRate, uint32_t lineBaudRate, uint8_t byteSize,
                     uint8_t parity, uint8_t stopBits, uint32_t ctsFlow, uint32_t dsrFlow, uint32_t xonXoff,
                     std::atomic<int32_t>* answerReadyFlag, char* answerText, int32_t capacity);
// Opens COM<portNumber> (or `device`, when given), applies the settings and
// starts the reader; false when any of it failed (nothing is left open then).
bool OpenComm(tarvelin::Board& board, int32_t portNumber, const char* device = nullptr);
bool ChannelOpen(tarvelin::Board& board);
int32_t CloseComm(tarvelin::Board& board, CloseWait wait = CloseWait::Full);
// The reader of one open.
void CommWatchThread(tarvelin::Board& board, int32_t runNumber);
// Where callers read the line themselves: the call holding the turn takes the
// lead from the reader (which steps aside until it is given back) and reads
// while it waits for its answer. Nothing where the reader always reads.
void TakeReadLead(tarvelin::Board& board);
void GiveBackReadLead(tarvelin::Board& board);
bool LeadsReading(tarvelin::Board& board);
// Waits up to `milliseconds` for bytes and reads them, as the lead; the
// answer text's flags tell what came.
void ReadWhileWaiting(tarvelin::Board& board, uint32_t milliseconds);
// Lets a reader that stepped aside see a close.
void ReleaseSteppedAsideReader(tarvelin::Board& board);
// Ends the wait of a call that leads (a close from another thread wants the turn).
void WakeLeadingCaller(tarvelin::Board& board);
// At unload: gives back what was made since the library was loaded, once no
// reader of it can still be running (one that could is left what it may use).
void ReleaseLoadObjects(tarvelin::Board& board);
int32_t WriteCommBlock(tarvelin::Board& board, CommChannelRecord* channel, const char* data, int32_t byteCount);
int32_t WriteComm(tarvelin::Board& board, int32_t byteCount, const char* data);

class LibraryPumping {
 public:
  explicit LibraryPumping(tarvelin::Board& board) : board_(board) {
    board_.MessageDispatchDepth.fetch_add(1, std::memory_order_acq_rel);
  }
  ~LibraryPumping() { board_.MessageDispatchDepth.fetch_sub(1, std::memory_order_acq_rel); }
  LibraryPumping(const LibraryPumping&) = delete;
  LibraryPumping& operator=(const LibraryPumping&) = delete;

 private:
  tarvelin::Board& board_;
};
// True while CloseComm runs: a close nested in it (a second click of a "Stop"
// button dispatched by its own message pumping) finds the port closed.
bool ChannelClosing(tarvelin::Board& board);
// A message box, marked as the library's own message pumping: its modal loop
// dispatches the thread's window messages while the call holds its turn.
void LibraryMessageBox(tarvelin::Board& board, const char* text, const char* caption, tarvelin::BoxIcon icon);

// Marks the line gone (once per open), says so on the debugger output and
// wakes a waiting call.
void MarkLineGone(tarvelin::Board& board, const char* routine, uint32_t error);

using tarvelin::DebugLine;

// The operations a tab asks for: each one's arguments checked, then its
// library calls made through the board link.
#pragma once

#include <stdexcept>
#include <string>

#include "board_link.h"

namespace tarvelin::panel {

// A request that names no operation or carries arguments that do not fit: 400.
struct BadRequest : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Runs the operation the body names ({"op": "portWrite", "port": "C", "value": 5});
// the answer is {"ok": true, "value": N, ...} or {"ok": false, "error": code,
// "message": text}. Throws BadRequest.
Json RunOperation(BoardLink& link, const Json& body);

// The last block sampling as CSV: a header "ch0,ch1", one row per sample.
std::string BlockCsv(const Block& block);

}  // namespace tarvelin::panel

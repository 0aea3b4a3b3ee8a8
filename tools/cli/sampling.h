// The sample command: timed block sampling into CSV, JSON lines or a plot.
#pragma once

#include <string>
#include <vector>

#include "session.h"

namespace tarvelin::cli {

struct SampleOptions {
  int bits = 10;
  std::vector<int> channels{0};
  int rate = 3;
  int samples = 1000;
  std::string csv;
  std::string plot;
};

// Checks the options (kUsage with a message), then samples through the open session.
int CheckSampleOptions(const SampleOptions& options);
int RunSample(Session& session, const SampleOptions& options);

}  // namespace tarvelin::cli

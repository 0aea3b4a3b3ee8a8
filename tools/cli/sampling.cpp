#include "sampling.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "system.h"
#include "tarvelin.h"

namespace tarvelin::cli {

namespace {

constexpr int kMaxSamples = 65536;
constexpr int kMaxChannel = 10;
constexpr size_t kBarWidth = 30;

// The progress of a block on a terminal: values received of the block, and the
// seconds so far. Redrawn at most ten times a second.
class Progress {
 public:
  explicit Progress(bool bar) : bar_(bar), start_(std::chrono::steady_clock::now()) {}
  ~Progress() {
    if (drawn_) std::fputs("\r\033[K", stderr);
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Called by the library on this thread as values arrive; Ctrl-C cancels the block here.
  static int32_t TARVELIN_CALL Report(void* context, int32_t received, int32_t total) {
    static_cast<Progress*>(context)->Draw(received, total);
    return Interrupted ? 1 : 0;
  }

 private:
  void Draw(int32_t received, int32_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (!bar_ || total <= 0 || (drawn_ && now - last_ < std::chrono::milliseconds(100))) return;
    last_ = now;
    const double share = std::clamp(static_cast<double>(received) / total, 0.0, 1.0);
    const auto filled = static_cast<size_t>(share * kBarWidth);
    fmt::print(stderr, "\rsampling [{}{}] {:3.0f}%  {} of {} values, {:.1f} s", std::string(filled, '#'),
               std::string(kBarWidth - filled, '.'), share * 100, received, total,
               std::chrono::duration<double>(now - start_).count());
    std::fflush(stderr);
    drawn_ = true;
  }

  bool bar_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
};

std::string CsvText(const SampleOptions& options, const std::vector<int32_t>& values) {
  const size_t width = options.channels.size();
  std::string text;
  for (size_t c = 0; c < width; ++c) text += fmt::format("{}ch{}", c == 0 ? "" : ",", options.channels[c]);
  text += '\n';
  for (size_t k = 0; k * width < values.size(); ++k) {
    for (size_t c = 0; c < width; ++c) text += fmt::format("{}{}", c == 0 ? "" : ",", values[k * width + c]);
    text += '\n';
  }
  return text;
}

int Plot(const SampleOptions& options, const std::string& csv) {
  const std::string gnuplot = FindProgram("gnuplot");
  if (gnuplot.empty()) {
    fmt::print(stderr, "tarvelin: {}; no plot made\n", HelpForThisSystem().noPlotter);
    return kFailed;
  }
  std::string quoted;
  for (const char c : options.plot) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  std::string script = "$samples << EOD\n" + csv + "EOD\n";
  script += fmt::format(
      "set terminal png size 1000,600\nset output '{}'\nset datafile separator ','\n"
      "set key autotitle columnhead\nset xlabel 'sample'\nset ylabel 'value ({} bits)'\n"
      "plot for [i=1:{}] $samples using 0:i with lines\n",
      quoted, options.bits, options.channels.size());
  if (RunWithInput(gnuplot, script) != 0) {
    fmt::print(stderr, "tarvelin: gnuplot could not draw {}\n", options.plot);
    return kFailed;
  }
  return 0;
}

}  // namespace

int CheckSampleOptions(const SampleOptions& options) {
  const auto usage = [](const std::string& message) {
    fmt::print(stderr, "tarvelin sample: {}\n", message);
    return kUsage;
  };
  if (options.bits != 8 && options.bits != 10 && options.bits != 12) return usage("--bits must be 8, 10 or 12");
  if (options.channels.empty()) return usage("--channels names no channel");
  std::vector<int> sorted = options.channels;
  std::sort(sorted.begin(), sorted.end());
  if (sorted.front() < 0 || sorted.back() > kMaxChannel) return usage("--channels must lie within 0..10");
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return usage("--channels names a channel twice");
  if (sorted != options.channels) return usage("--channels must be in increasing order (the board sends them so)");
  if (options.rate < 0 || options.rate > 7) return usage("--rate must be 0..7");
  if (options.samples < 1 || options.samples > kMaxSamples) return usage("--samples must be 1..65536");
  return 0;
}

int RunSample(Session& session, const SampleOptions& options) {
  int32_t mask = 0;
  for (const int channel : options.channels) mask |= 1 << channel;
  std::vector<int32_t> values(options.channels.size() * static_cast<size_t>(options.samples));
  int32_t code = TARVELIN_OK;
  {
    Progress progress(StandardErrorIsTerminal());
    code = tarvelin_sample(session.Board(), options.bits, mask, options.rate, options.samples, values.data(),
                           static_cast<int32_t>(values.size()), &Progress::Report, &progress, nullptr);
  }
  if (Interrupted) {
    session.Close();
    fmt::print(stderr, "tarvelin: interrupted; the port is closed\n");
    return kInterrupted;
  }
  if (code != TARVELIN_OK) return session.Failure("sample", code);

  const std::string csv = CsvText(options, values);
  if (!options.csv.empty()) {
    FILE* file = std::fopen(options.csv.c_str(), "wb");
    if (file == nullptr || std::fwrite(csv.data(), 1, csv.size(), file) != csv.size() || std::fclose(file) != 0) {
      fmt::print(stderr, "tarvelin: cannot write {}\n", options.csv);
      return kFailed;
    }
  }
  if (!options.plot.empty() && Plot(options, csv) != 0) return kFailed;

  const size_t width = options.channels.size();
  if (session.Json()) {
    if (options.csv.empty() && options.plot.empty()) {
      for (size_t k = 0; k * width < values.size(); ++k) {
        const auto first = values.begin() + static_cast<std::ptrdiff_t>(k * width);
        session.Result({{"sample", k}, {"values", std::vector<int32_t>(first, first + static_cast<std::ptrdiff_t>(width))}},
                       "");
      }
    } else {
      JsonValue fields{{"samples", options.samples}, {"channels", width}};
      if (!options.csv.empty()) fields["csv"] = options.csv;
      if (!options.plot.empty()) fields["plot"] = options.plot;
      session.Result(fields, "");
    }
  } else if (options.csv.empty() && options.plot.empty()) {
    std::fwrite(csv.data(), 1, csv.size(), stdout);
  } else {
    fmt::print(stderr, "{} samples of {} channel(s){}{}\n", options.samples, width,
               options.csv.empty() ? "" : " written to " + options.csv,
               options.plot.empty() ? "" : ", plotted in " + options.plot);
  }
  return 0;
}

}  // namespace tarvelin::cli

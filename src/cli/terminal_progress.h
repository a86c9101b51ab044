// The run's progress on a terminal: a bar redrawn in place (files done, total, rate, time
// left) when the stream is a terminal, plain lines now and then when it is not, nothing when
// quiet. Single-threaded.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "run/run_state.h"

namespace cli {

class TerminalProgress final : public convert::ProgressView {
 public:
  enum class Mode { kBar, kLines, kQuiet };

  // out must outlive the object; total is the number of files the run goes through.
  TerminalProgress(std::FILE* out, Mode mode, std::int32_t total);

  void SetBarRanges(float, float) override {}
  void SetFrameCaption(const QString&) override {}
  void SetStatusLine(const QString&) override {}
  void SetOverallProgress(float value) override;
  void SetConvertEnabled(bool) override {}

  // Ends the bar's line.
  void Finish();

 private:
  void Draw(bool force);

  std::FILE* out_;
  Mode mode_;
  std::int32_t total_;
  std::int32_t done_ = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_draw_{};
  bool drawn_ = false;
};

}  // namespace cli

// A progress bar on stderr for long renders: shown only when stderr is a terminal, and
// only once the work has taken about a second; erased when the work is done.
#pragma once

#include <chrono>
#include <cstdint>

namespace vorbel {

class ProgressBar {
 public:
  // `total` units of work; `enabled` false keeps it silent whatever stderr is.
  ProgressBar(int64_t total, bool enabled);
  ~ProgressBar();  // erases the bar if one is shown
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void Update(int64_t done);
  void Finish();

 private:
  using Clock = std::chrono::steady_clock;
  int64_t total_;
  bool terminal_;
  bool shown_ = false;
  Clock::time_point start_;
  Clock::time_point lastDraw_;
};

}  // namespace vorbel

// One self-erasing status line on standard error for a person watching a
// terminal; silent when standard error is not a terminal or with --quiet.
#ifndef VELK_TOOL_PROGRESS_H
#define VELK_TOOL_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>

#include "velk/cluster.h"

namespace velktool {

class ProgressDisplay {
 public:
  explicit ProgressDisplay(bool enabled);
  ~ProgressDisplay() { clear(); }

  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  // Draws text over the previous status; force skips the rate limit.
  void show(const std::string& text, bool force = false);
  // Erases the status so that other output starts on a clean line.
  void clear();
  // Erases it only when standard output shares the terminal.
  void beforeOutput() {
    if (sharesTerminal_) clear();
  }
  bool enabled() const { return enabled_; }

 private:
  bool enabled_;
  bool sharesTerminal_;
  bool visible_ = false;
  std::chrono::steady_clock::time_point last_{};
};

// Shows the clustering steps and the matching fraction.
class ClusterProgress final : public Velk::VkProgress {
 public:
  explicit ClusterProgress(ProgressDisplay& display) : display_(display) {}
  void setFraction(float fraction) override;
  void setStep(int32_t step) override;

 private:
  ProgressDisplay& display_;
  int32_t step_ = 0;
  int lastPercent_ = -1;
};

}  // namespace velktool

#endif

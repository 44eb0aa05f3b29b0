// One self-erasing status line on standard error for a person watching a
// terminal; silent when standard error is not a terminal or with --quiet.
#ifndef VELK_TOOL_PROGRESS_H
#define VELK_TOOL_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>

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

}  // namespace velktool

#endif

// The engine's one way out: messages and progress through the caller's
// handlers, one call at a time whichever thread reports.
#ifndef VELK_ENGINE_REPORTER_H
#define VELK_ENGINE_REPORTER_H

#include <atomic>
#include <mutex>
#include <string>
#include <utility>

#include "velk/sync.h"

namespace Velk {

class Reporter {
 public:
  Reporter(const MessageHandler& messages, const ProgressHandler& progress,
           StopCheck stop = StopCheck())
      : messages_(messages), progress_(progress), stop_(std::move(stop)) {}

  void message(MessageKind kind, const std::string& text) const {
    if (!messages_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    messages_(SyncMessage{kind, text});
  }
  void designed(const std::string& text) const { message(MessageKind::Designed, text); }
  void warning(const std::string& text) const { message(MessageKind::Warning, text); }
  void note(const std::string& text) const { message(MessageKind::Note, text); }

  void progress(const std::string& stage, double fraction, const std::string& detail = "") const {
    if (!progress_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    progress_(SyncProgress{stage, detail, fraction});
  }
  bool wantsProgress() const { return static_cast<bool>(progress_); }
  // Once the caller's check has said stop, every later question answers so.
  bool stopped() const {
    if (stopped_) return true;
    if (stop_ && stop_()) stopped_ = true;
    return stopped_;
  }

 private:
  const MessageHandler& messages_;
  const ProgressHandler& progress_;
  const StopCheck stop_;
  mutable std::mutex mutex_;
  mutable std::atomic<bool> stopped_{false};
};

}  // namespace Velk

#endif

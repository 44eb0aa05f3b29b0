// Every file the library opens to read audio or its header is told here, so a
// test can count a run's opens; the WAV reader and the media layer both report.
#ifndef VELK_AUDIO_OPEN_WATCH_H
#define VELK_AUDIO_OPEN_WATCH_H

#include <functional>
#include <string>

namespace Velk {
namespace detail {

// Told the path of every open, from whichever thread opens it.
void watchOpens(std::function<void(const std::string& path)> watcher);
void noteOpen(const std::string& path);

}  // namespace detail
}  // namespace Velk

#endif

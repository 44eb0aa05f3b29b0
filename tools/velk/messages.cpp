#include "velktool/messages.h"

#include <atomic>
#include <cstring>
#include <iostream>

#include "velktool/fsutil.h"
#include "velktool/progress.h"

namespace velktool {

namespace {

bool g_muteNotes = false;
ProgressDisplay* g_display = nullptr;

void say(const char* kind, const std::string& text) {
  if (g_display != nullptr) g_display->clear();
  std::cerr << "Velk: " << kind << ": " << text << std::endl;
}

}  // namespace

void error(const std::string& text) { say("error", text); }
void warning(const std::string& text) { say("warning", text); }
void note(const std::string& text) {
  if (!g_muteNotes) say("note", text);
}

void muteNotes(bool mute) { g_muteNotes = mute; }
void setMessageDisplay(ProgressDisplay* display) { g_display = display; }

void setInterruptSummary(const std::string& text) {
  setInterruptLine(text.empty() ? text : "Velk: note: interrupted: " + text);
}

}  // namespace velktool

// The tool's one voice: every message on standard error as one line,
// "Velk: error: ...", "Velk: warning: ..." or "Velk: note: ...", and the line
// an interrupted run leaves behind.
#ifndef VELK_TOOL_MESSAGES_H
#define VELK_TOOL_MESSAGES_H

#include <string>

namespace velktool {

class ProgressDisplay;

void error(const std::string& text);
void warning(const std::string& text);
void note(const std::string& text);  // dropped while notes are muted (--quiet)

// Notes are the tool's running commentary; warnings and errors always show.
void muteNotes(bool mute);
// Messages first erase this display's status line (null: none).
void setMessageDisplay(ProgressDisplay* display);

// What the run has completed so far, for the line a termination signal prints
// before the process ends ("extraction done; 3 of 8 copies written to out").
void setInterruptSummary(const std::string& text);

}  // namespace velktool

#endif

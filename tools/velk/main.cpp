// Velk: finds which recordings in a folder were made at the same event and how
// far apart they start.
#include "velk/app.h"
#include "velk/fsutil.h"

int main(int argc, char** argv) {
  // Interrupted copies and JSON files must not linger half-written.
  velktool::installInterruptCleanup();
  return velktool::runTool(argc, argv);
}

// Velk: finds which recordings in a folder were made at the same event and how
// far apart they start.
#include "velktool/app.h"
#include "velktool/fsutil.h"

int main(int argc, char** argv) {
  // Interrupted copies and JSON files must not linger half-written.
  velktool::installInterruptCleanup();
  return velktool::runTool(argc, argv);
}

// Velk: finds which recordings in a folder were made at the same event and how
// far apart they start.
#include "velk/app.h"

int main(int argc, char** argv) { return velktool::runTool(argc, argv); }

// Syncs a folder through the library's engine and prints one line per member:
//   CLUSTER
//   <name> <offset s> <drift ppm or -> <refined 0/1>
// Messages of the engine go to standard error, so standard output is the result.
#include <cstdio>
#include <iostream>
#include <string>

#include "velk/sync.h"
#include "velk/version.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: velk_consumer FOLDER" << std::endl;
    return 2;
  }
  Velk::SyncSettings settings;
  Velk::Listing listing;
  std::string error;
  if (!Velk::listFolder(argv[1], settings.extract.getSampleRate(), listing, error)) {
    std::cerr << error << std::endl;
    return 1;
  }
  Velk::Synchronizer sync(settings);
  sync.setMessageHandler([](const Velk::SyncMessage& m) { std::cerr << m.text << '\n'; });
  const Velk::SyncResult result = sync.run(listing.recordings);
  std::cerr << "tso_audio " << VELK_VERSION_STRING << ": " << result.recordings.size()
            << " recordings, " << result.clusters.size() << " clusters" << std::endl;
  for (const Velk::ClusterResult& c : result.clusters) {
    std::printf("CLUSTER\n");
    for (const Velk::MemberResult& m : c.members) {
      std::printf("%s %.6f ", m.name.c_str(), m.offset);
      if (m.driftKnown)
        std::printf("%.3f", m.driftPpm);
      else
        std::printf("-");
      std::printf(" %d\n", m.refined ? 1 : 0);
    }
  }
  return 0;
}

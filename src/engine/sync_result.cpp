#include "engine/sync_result.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <stdexcept>

namespace Velk {

double shortestDouble(float v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf - 1, v);
  *r.ptr = '\0';
  return std::strtod(buf, nullptr);
}

void sortClusters(std::vector<ClusterResult>& clusters) {
  std::sort(clusters.begin(), clusters.end(), [](const ClusterResult& a, const ClusterResult& b) {
    return a.members.front().id < b.members.front().id;
  });
}

std::size_t designedReference(const ClusterResult& c) {
  const auto& members = c.members;
  std::size_t ref = 0;
  for (std::size_t i = 0; i < members.size(); ++i)
    if (members[i].coarse == 0.0 || members[i].coarse < members[ref].coarse) ref = i;
  return ref;
}

double clockRate(const MemberResult& m) { return 1.0 + (m.driftKnown ? m.driftPpm * 1e-6 : 0.0); }

void rebaseCluster(ClusterResult& c, const MemberResult& onto, double coarseZero) {
  // The old reference's clock is the one every known drift was measured against.
  auto known = [&c](const MemberResult& m) { return m.driftKnown || m.id == c.reference; };
  const MemberResult e = onto;
  for (MemberResult& m : c.members) {
    const double rate = clockRate(m) / clockRate(e);
    m.offset = (m.offset - e.offset) / clockRate(e);
    m.coarse -= coarseZero;
    m.driftPpm = (rate - 1.0) * 1e6;
    m.driftKnown = known(m) && known(e) && m.id != e.id;
  }
  c.reference = e.id;
}

int32_t findReference(const std::vector<Recording>& recordings, const std::string& reference) {
  // A path says most, a bare name least: a.wav and a.mp4 share the name a.
  for (auto field : {&Recording::path, &Recording::fileName, &Recording::name}) {
    std::vector<const Recording*> found;
    for (const Recording& r : recordings)
      if (r.*field == reference) found.push_back(&r);
    if (found.size() == 1) return found.front()->id;
    if (found.size() > 1)
      throw std::invalid_argument("the reference " + reference + " names " + found[0]->path +
                                  " and " + found[1]->path + "; give its path");
  }
  throw std::invalid_argument("the reference " + reference + " is not one of the recordings");
}

std::vector<ClusterResult> orderClusters(const VkClusterSet& clusters,
                                         const std::map<int32_t, std::string>& idToPath) {
  std::vector<ClusterResult> out;
  for (const VkCluster* cluster : clusters) {
    if (cluster == nullptr || cluster->empty()) continue;
    ClusterResult c;
    for (const VkClusterElem* e : *cluster) {  // already in ascending id
      MemberResult m;
      m.id = e->fileId;
      m.name = e->name;
      const auto it = idToPath.find(e->fileId);
      if (it != idToPath.end()) m.path = it->second;
      m.coarse = shortestDouble(e->offset);
      m.offset = m.coarse;
      c.members.push_back(m);
    }
    c.reference = c.members[designedReference(c)].id;
    out.push_back(std::move(c));
  }
  sortClusters(out);
  return out;
}

}  // namespace Velk

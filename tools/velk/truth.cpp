#include "velktool/truth.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <pugixml.hpp>
#include <set>
#include <sstream>

namespace velktool {

namespace {

bool parseSeconds(const char* text, double& out) {
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || errno != 0 || !std::isfinite(v)) return false;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0') return false;
  out = v;
  return true;
}

}  // namespace

int lineOfOffset(const std::string& text, std::ptrdiff_t offset) {
  if (offset < 0) return 0;
  const std::size_t end = std::min(text.size(), static_cast<std::size_t>(offset));
  return 1 + static_cast<int>(
                 std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end), '\n'));
}

bool loadTruth(const std::string& path, Truth& truth, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read truth file " + path + ": " + std::strerror(errno);
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return parseTruth(text, path, truth, error);
}

bool parseTruth(const std::string& text, const std::string& path, Truth& truth,
                std::string& error) {
  truth = Truth();
  truth.path = path;
  auto fail = [&](std::ptrdiff_t offset, const std::string& what) {
    error =
        "truth file " + path + ", line " + std::to_string(lineOfOffset(text, offset)) + ": " + what;
    return false;
  };
  pugi::xml_document doc;
  const pugi::xml_parse_result parsed = doc.load_buffer(text.data(), text.size());
  if (!parsed) return fail(parsed.offset, parsed.description());

  const pugi::xml_node root = doc.document_element();
  if (!root || std::strcmp(root.name(), "truth") != 0)
    return fail(root ? root.offset_debug() : 0, "the document element must be <truth>");

  std::map<std::string, int> seen;
  for (pugi::xml_node cluster = root.first_child(); cluster; cluster = cluster.next_sibling()) {
    if (cluster.type() != pugi::node_element) continue;
    if (std::strcmp(cluster.name(), "cluster") != 0)
      return fail(cluster.offset_debug(),
                  std::string("expected <cluster>, found <") + cluster.name() + ">");
    std::vector<TruthRecording> members;
    for (pugi::xml_node rec = cluster.first_child(); rec; rec = rec.next_sibling()) {
      if (rec.type() != pugi::node_element) continue;
      const int line = lineOfOffset(text, rec.offset_debug());
      if (std::strcmp(rec.name(), "recording") != 0)
        return fail(rec.offset_debug(),
                    std::string("expected <recording>, found <") + rec.name() + ">");
      TruthRecording r;
      r.line = line;
      r.name = rec.attribute("name").value();
      if (!rec.attribute("name") || r.name.empty())
        return fail(rec.offset_debug(), "a <recording> needs a name");
      if (const pugi::xml_attribute off = rec.attribute("offset")) {
        if (!parseSeconds(off.value(), r.offset))
          return fail(rec.offset_debug(),
                      std::string("offset \"") + off.value() + "\" is not a number of seconds");
        r.hasOffset = true;
      }
      const auto prior = seen.find(r.name);
      if (prior != seen.end())
        return fail(rec.offset_debug(), "recording " + r.name + " is already listed on line " +
                                            std::to_string(prior->second));
      seen[r.name] = line;
      members.push_back(r);
    }
    if (!members.empty()) truth.clusters.push_back(std::move(members));
  }
  return true;
}

OffsetStats offsetStats(std::vector<double> errors) {
  OffsetStats s;
  s.pairs = errors.size();
  if (errors.empty()) return s;
  std::sort(errors.begin(), errors.end());
  const std::size_t n = errors.size();
  s.median = n % 2 == 1 ? errors[n / 2] : 0.5 * (errors[n / 2 - 1] + errors[n / 2]);
  const std::size_t rank = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(n)));
  s.p95 = errors[std::max<std::size_t>(rank, 1) - 1];
  s.max = errors.back();
  std::size_t in40 = 0, in1 = 0;
  // A hair of slack so that errors that print as exactly 1 ms count as within it.
  for (double e : errors) {
    if (e <= 0.040 + 1e-9) ++in40;
    if (e <= 0.001 + 1e-9) ++in1;
  }
  s.within40ms = static_cast<double>(in40) / static_cast<double>(n);
  s.within1ms = static_cast<double>(in1) / static_cast<double>(n);
  return s;
}

namespace {

struct Placed {
  std::size_t cluster;
  const MemberResult* member;
};

struct Named {
  std::size_t cluster;
  const TruthRecording* rec;
};

// A recording both in the result and in the truth.
using InBoth = std::pair<const Placed*, Named>;

// Where each name sits in the result; the lowest id wins a shared name.
std::map<std::string, Placed> placedByName(const std::vector<ClusterResult>& clusters) {
  std::map<std::string, Placed> found;
  for (std::size_t c = 0; c < clusters.size(); ++c)
    for (const MemberResult& m : clusters[c].members) {
      const auto it = found.find(m.name);
      if (it == found.end() || m.id < it->second.member->id) found[m.name] = {c, &m};
    }
  return found;
}

// The recordings in both, in truth order; the others are listed in ev as missing.
std::vector<InBoth> matchTruth(const Truth& truth, const std::map<std::string, Placed>& found,
                               Evaluation& ev) {
  std::vector<InBoth> both;
  std::set<std::string> inTruth;
  for (std::size_t c = 0; c < truth.clusters.size(); ++c)
    for (const TruthRecording& r : truth.clusters[c]) {
      inTruth.insert(r.name);
      const auto it = found.find(r.name);
      if (it == found.end())
        ev.missingFromResult.push_back(r.name);
      else
        both.push_back({&it->second, {c, &r}});
    }
  for (const auto& kv : found)
    if (inTruth.count(kv.first) == 0) ev.missingFromTruth.push_back(kv.first);
  return both;
}

// Counts the pairs together in the result, in the truth and in both, and the
// offset errors of those in both whose truth gives offsets.
void comparePairs(const std::vector<InBoth>& both, Evaluation& ev,
                  std::vector<double>& refinedErrors, std::vector<double>& coarseErrors) {
  for (std::size_t i = 0; i < both.size(); ++i)
    for (std::size_t j = i + 1; j < both.size(); ++j) {
      const bool inResult = both[i].first->cluster == both[j].first->cluster;
      const bool inTruthToo = both[i].second.cluster == both[j].second.cluster;
      if (inResult) ++ev.resultPairs;
      if (inTruthToo) ++ev.truthPairs;
      if (!(inResult && inTruthToo)) continue;
      ++ev.correctPairs;
      const TruthRecording& ta = *both[i].second.rec;
      const TruthRecording& tb = *both[j].second.rec;
      if (!ta.hasOffset || !tb.hasOffset) continue;
      const MemberResult& a = *both[i].first->member;
      const MemberResult& b = *both[j].first->member;
      const double want = tb.offset - ta.offset;
      refinedErrors.push_back(std::fabs((b.offset - a.offset) - want));
      coarseErrors.push_back(std::fabs((b.coarse - a.coarse) - want));
    }
}

// Precision, recall and F1 of the pair counts; NaN where a count is zero.
void setRatios(Evaluation& ev) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  ev.precision = ev.resultPairs > 0 ? double(ev.correctPairs) / double(ev.resultPairs) : nan;
  ev.recall = ev.truthPairs > 0 ? double(ev.correctPairs) / double(ev.truthPairs) : nan;
  if (ev.resultPairs > 0 && ev.truthPairs > 0)
    ev.f1 = ev.precision + ev.recall > 0 ? 2 * ev.precision * ev.recall / (ev.precision + ev.recall)
                                         : 0.0;
  else
    ev.f1 = nan;
}

}  // namespace

Evaluation evaluate(const Truth& truth, const std::vector<ClusterResult>& clusters) {
  Evaluation ev;
  const std::map<std::string, Placed> found = placedByName(clusters);
  const std::vector<InBoth> both = matchTruth(truth, found, ev);
  std::vector<double> refinedErrors, coarseErrors;
  comparePairs(both, ev, refinedErrors, coarseErrors);
  setRatios(ev);
  ev.refined = offsetStats(refinedErrors);
  ev.coarse = offsetStats(coarseErrors);
  return ev;
}

}  // namespace velktool

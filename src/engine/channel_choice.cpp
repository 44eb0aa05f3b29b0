#include "engine/channel_choice.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

namespace Velk {

namespace {

// A hash this frequent in one channel (a drone, a hum) says nothing about
// where it meets another recording, and would cost a vote per pair of copies.
constexpr std::size_t kMostPerHash = 16;
// Frames either side of an offset that still count for it: votes of one match
// straddle neighbouring frames, and a clock 200 ppm off moves a 5-minute
// overlap by two of them.
constexpr int32_t kPeakWidth = 2;
// A channel replaces the one with most landmarks when it meets another
// recording, with this many times as many landmarks at one offset.
constexpr uint32_t kClearlyBetter = 2;

uint64_t key(std::size_t file, int32_t offset) {
  return (static_cast<uint64_t>(file) << 32) | static_cast<uint32_t>(offset);
}

// The most votes within kPeakWidth of any one offset.
uint32_t peakOf(const std::unordered_map<uint64_t, uint32_t>& votes) {
  uint32_t best = 0;
  for (const auto& [k, count] : votes) {
    const std::size_t file = static_cast<std::size_t>(k >> 32);
    const auto offset = static_cast<int32_t>(static_cast<uint32_t>(k));
    uint32_t sum = count;
    for (int32_t d = -kPeakWidth; d <= kPeakWidth; ++d) {
      if (d == 0) continue;
      const auto it = votes.find(key(file, offset + d));
      if (it != votes.end()) sum += it->second;
    }
    best = std::max(best, sum);
  }
  return best;
}

}  // namespace

std::vector<uint32_t> bestMatchVotes(const std::vector<ChannelLandmarks>& candidates,
                                     const std::vector<ChannelLandmarks>& files) {
  // Every candidate's landmarks by hash, then one pass over all files.
  std::unordered_map<uint32_t, std::vector<std::pair<std::size_t, int32_t>>> byHash;
  for (std::size_t c = 0; c < candidates.size(); ++c)
    if (candidates[c].file != nullptr)
      candidates[c].file->forEachLandmark([&](int32_t time, uint32_t hash, int32_t) {
        byHash[hash].push_back({c, time});
      });
  // Entries come in candidate order: the copies of one candidate are a run.
  for (auto& [hash, entries] : byHash) {
    std::vector<std::pair<std::size_t, int32_t>> kept;
    for (std::size_t i = 0, j = 0; i < entries.size(); i = j) {
      while (j < entries.size() && entries[j].first == entries[i].first) ++j;
      if (j - i <= kMostPerHash) kept.insert(kept.end(), entries.begin() + i, entries.begin() + j);
    }
    entries = std::move(kept);
  }

  std::vector<std::unordered_map<uint64_t, uint32_t>> votes(candidates.size());
  for (std::size_t f = 0; f < files.size(); ++f) {
    if (files[f].file == nullptr) continue;
    files[f].file->forEachLandmark([&](int32_t time, uint32_t hash, int32_t) {
      const auto it = byHash.find(hash);
      if (it == byHash.end()) return;
      for (const auto& [c, t] : it->second)
        if (candidates[c].recording != files[f].recording) ++votes[c][key(f, time - t)];
    });
  }
  std::vector<uint32_t> out;
  for (const auto& v : votes) out.push_back(peakOf(v));
  return out;
}

std::size_t chosenChannel(const std::vector<uint32_t>& votes) {
  std::size_t best = 0;
  for (std::size_t c = 1; c < votes.size(); ++c)
    if (votes[c] > votes[best]) best = c;
  if (best == 0 || votes[best] < kLeastChannelVotes ||
      votes[best] < kClearlyBetter * static_cast<uint64_t>(votes[0]))
    return 0;
  return best;
}

}  // namespace Velk

// Offset propagation within a group: greedy agglomeration from the strongest
// accepted pairs outwards, then each group shifted to start at 0.
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "velk/cluster_stages.h"

namespace Velk {

void VkGroupTable::init(const std::set<int32_t>& group) {
  table.clear();
  int32_t k = 0;
  for (int32_t id : group) table[k++] = MemberMap{{id, 0.0f}};
}

void VkGroupTable::merge(int32_t a, int32_t b, float d) {
  if (a == b) return;
  auto find = [this](int32_t id, int32_t& index, MemberMap& copy) {
    index = -1;
    for (const auto& kv : table) {
      if (kv.second.count(id) != 0) {
        index = kv.first;
        copy = kv.second;
        return;
      }
    }
  };
  int32_t ia, ib;
  MemberMap ca, cb;
  find(a, ia, ca);
  find(b, ib, cb);
  table.erase(ia);
  table.erase(ib);
  MemberMap merged = ca;
  // A member already placed through a keeps its offset (only when a and b
  // already share a map, which alignment never asks for).
  for (const auto& kv : cb) merged.emplace(kv.first, kv.second + d);
  table[ia] = std::move(merged);
}

void VkGroupTable::normalise() {
  for (auto& kv : table) {
    float smallest = std::numeric_limits<float>::infinity();
    for (const auto& m : kv.second) {
      if (m.second <= smallest) smallest = m.second;
    }
    for (auto& m : kv.second) m.second -= smallest;
  }
}

std::set<VkGroupTable::MemberMap> VkGroupTable::groups() const {
  std::set<MemberMap> out;
  for (const auto& kv : table) out.insert(kv.second);
  return out;
}

void printGroup(const VkGroupTable::MemberMap& members) {
  for (const auto& m : members) {
    std::cout << "File: " << m.first << " Offset:" << m.second << std::endl;
  }
}

void VkGroupTable::print() const {
  for (const auto& kv : table) {
    std::cout << "Cluster" << std::endl;
    printGroup(kv.second);
  }
}

namespace {

using PairValues = std::map<VkPairKey, float>;

// ">=" from 0: among equal counts the last pair in order wins. Counts are
// peak vote counts, never negative, so some pair is always chosen.
VkPairKey strongestPair(const PairValues& count) {
  VkPairKey strongest = count.begin()->first;
  float best = 0.0f;
  for (const auto& kv : count) {
    if (kv.second >= best) {
      best = kv.second;
      strongest = kv.first;
    }
  }
  return strongest;
}

// Re-bases b's pairs on a, now that b sits at d from a.
void rebase(const PairValues& count, PairValues& offset, int32_t b, float d) {
  for (const auto& kv : count) {
    if (kv.first.first == b) {
      offset[kv.first] += d;
    } else if (kv.first.second == b) {
      offset[kv.first] -= d;
    }
  }
}

// Moves b's pairs to a; where a already has a pair, the stronger evidence stays.
// Every pair walked gets an offset entry, moved or not: the loop ends when
// the offset table runs empty, so which entries exist decides when it stops.
void movePairs(PairValues& count, PairValues& offset, int32_t a, int32_t b) {
  for (const auto& kv : count) {
    const VkPairKey& key = kv.first;
    float o = offset[key];
    VkPairKey moved;
    if (key.first == b) {
      moved = VkPairKey(a, key.second);
    } else if (key.second == b) {
      moved = VkPairKey(key.first, a);
    } else {
      continue;
    }
    const float c = kv.second;
    if (moved.first > moved.second) {
      std::swap(moved.first, moved.second);
      o = -o;
    }
    float& existing = count[moved];  // inserting keeps the walk valid
    if (c > existing) {
      existing = c;
      offset[moved] = o;
    }
  }
}

void erasePairsOf(PairValues& values, int32_t id) {
  for (auto it = values.begin(); it != values.end();) {
    it = it->first.first == id || it->first.second == id ? values.erase(it) : std::next(it);
  }
}

// Merges the pairs of one group, strongest first, into t.
void agglomerate(VkGroupTable& t, std::set<int32_t> representatives, PairValues& count,
                 PairValues& offset) {
  while (representatives.size() > 1 && !count.empty() && !offset.empty()) {
    const VkPairKey strongest = strongestPair(count);
    const int32_t a = strongest.first;
    const int32_t b = strongest.second;
    const auto od = offset.find(strongest);
    const float d = od == offset.end() ? 0.0f : od->second;
    t.merge(a, b, d);
    count.erase(strongest);
    offset.erase(strongest);
    rebase(count, offset, b, d);
    movePairs(count, offset, a, b);
    erasePairsOf(count, b);
    erasePairsOf(offset, b);
    representatives.erase(b);
  }
}

struct GroupTablesDeleter {
  std::set<VkGroupTable*>* tables;
  ~GroupTablesDeleter() {
    if (tables == nullptr) return;
    for (VkGroupTable* t : *tables) delete t;
  }
};

}  // namespace

std::set<VkGroupTable*> VkRecordingPartition::alignComponents(const VkPairStatsTable* stats) const {
  std::set<VkGroupTable*> result;
  GroupTablesDeleter guard{&result};  // frees the tables if an allocation fails
  for (const Group& group : groups) {
    auto* t = new VkGroupTable;
    try {
      result.insert(t);
    } catch (...) {
      delete t;
      throw;
    }
    t->init(group);
    PairValues count, offset;
    if (stats != nullptr) {
      for (auto i = group.begin(); i != group.end(); ++i) {
        for (auto j = std::next(i); j != group.end(); ++j) {
          const auto it = stats->find(VkPairKey(*i, *j));
          if (it == stats->end() || it->second == nullptr || !it->second->accepted) continue;
          count[it->first] = it->second->peakCount;
          offset[it->first] = it->second->peakOffset;
        }
      }
    }
    agglomerate(*t, group, count, offset);
    t->normalise();
  }
  guard.tables = nullptr;
  return result;
}

}  // namespace Velk

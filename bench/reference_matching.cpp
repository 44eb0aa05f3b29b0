#include "reference_matching.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

namespace velkref {

using Velk::Landmark;
using Velk::VkFile;
using Velk::VkFileSet;
using Velk::VkPairKey;
using Velk::VkPairStats;
using Velk::VkPairStatsTable;
using Velk::VkProgress;

namespace {

void addToIndex(Index& index, const VkFile* file) {
  if (file == nullptr) return;
  for (const auto& frame : file->getLandmarks()) {
    for (const Landmark* lm : frame.second) {
      if (lm != nullptr) index.entries[lm->hash].push_back(lm);
    }
  }
}

Histograms* histogramStage(Index& index, VkProgress* progress) {
  if (progress != nullptr) progress->setFraction(0.0f);
  auto* table = new Histograms;
  for (auto it = index.entries.begin(); it != index.entries.end();) {
    it = it->second.size() < 2 ? index.entries.erase(it) : std::next(it);
  }
  const std::size_t n = index.entries.size();
  std::size_t k = 0;
  int last = 0;
  for (auto it = index.entries.begin(); it != index.entries.end();) {
    ++k;
    if (progress != nullptr) {
      const int p = static_cast<int>(static_cast<float>(k) * 100.0f / static_cast<float>(n));
      if (p > last) {
        progress->setFraction(static_cast<float>(p) / 100.0f);
        last = p;
      }
    }
    if (it->second.size() > index.maxLandmarks) {
      it = index.entries.erase(it);
      continue;
    }
    std::map<int32_t, LandmarkList> byFile;
    for (const Landmark* lm : it->second) byFile[lm->getFileId()].push_back(lm);
    if (byFile.size() < 2) {
      it = index.entries.erase(it);
      continue;
    }
    for (auto a = byFile.begin(); a != byFile.end(); ++a) {
      for (auto b = std::next(a); b != byFile.end(); ++b) {
        Histogram*& h = (*table)[VkPairKey(a->first, b->first)];
        if (h == nullptr) h = new Histogram;
        for (const Landmark* x : a->second) {
          for (const Landmark* y : b->second) (*h)[x->time - y->time].push_back(x);
        }
      }
    }
    ++it;
  }
  return table;
}

}  // namespace

Histograms* matchPairs(Index& index, VkFileSet* fileSet, VkProgress* progress) {
  index.entries.clear();
  if (fileSet != nullptr) {
    if (progress != nullptr) progress->setFraction(0.0f);
    const std::size_t n = fileSet->getFiles().size();
    std::size_t i = 0;
    for (const auto& kv : fileSet->getFiles()) {
      addToIndex(index, kv.second);
      ++i;
      if (progress != nullptr) {
        progress->setFraction(static_cast<float>(i) / static_cast<float>(n));
      }
    }
  }
  Histograms* table = histogramStage(index, progress);
  index.entries.clear();
  return table;
}

void deleteHistograms(Histograms* table) {
  if (table == nullptr) return;
  for (auto& kv : *table) delete kv.second;
  delete table;
}

VkPairStatsTable* verifyPairs(VkFileSet* fileSet, const Histograms* histograms) {
  if (fileSet == nullptr || histograms == nullptr) return nullptr;
  auto* table = new VkPairStatsTable;
  for (const auto& kv : *histograms) {
    auto* s = new VkPairStats;
    (*table)[kv.first] = s;
    s->idA = kv.first.first;
    s->idB = kv.first.second;
    const Histogram& h = *kv.second;

    float best = 0;
    int32_t bestOffset = 0;
    for (const auto& bin : h) {
      if (static_cast<float>(bin.second.size()) >= best) {
        best = static_cast<float>(bin.second.size());
        bestOffset = bin.first;
      }
    }
    s->peakCount = best;
    s->peakOffset = static_cast<float>(bestOffset);

    const auto fa = fileSet->getFiles().find(s->idA);
    const auto fb = fileSet->getFiles().find(s->idB);
    if (fa != fileSet->getFiles().end() && fb != fileSet->getFiles().end() && fa->second &&
        fb->second) {
      const VkFile* A = fa->second;
      const VkFile* B = fb->second;
      const float o = s->peakOffset;
      const float firstA = A->getFirstFrame(), lastA = A->getLastFrame();
      const float firstB = B->getFirstFrame(), lastB = B->getLastFrame();
      float a0, a1, b0, b1;
      if (o <= 0) {
        s->overlapLength = std::min(lastA, lastB + o) - std::max(firstA, firstB + o);
        a0 = firstA;
        a1 = std::ceil(firstA + s->overlapLength);
        b0 = std::floor(lastB - s->overlapLength);
        b1 = lastB;
      } else {
        s->overlapLength = std::min(lastA - o, lastB) - std::max(firstA - o, firstB);
        a0 = std::floor(lastA - s->overlapLength);
        a1 = lastA;
        b0 = firstB;
        b1 = std::ceil(firstB + s->overlapLength);
      }
      s->overlapLandmarksA = static_cast<float>(
          A->countLandmarksInRange(static_cast<int32_t>(a0), static_cast<int32_t>(a1)));
      s->overlapLandmarksB = static_cast<float>(
          B->countLandmarksInRange(static_cast<int32_t>(b0), static_cast<int32_t>(b1)));
    }
    s->matchFractionA = s->peakCount / s->overlapLandmarksA;
    s->matchFractionB = s->peakCount / s->overlapLandmarksB;

    const auto peak = h.find(bestOffset);
    if (peak != h.end()) {
      int32_t tmin = 2147483647, tmax = -2147483647 - 1;
      for (const Landmark* lm : peak->second) {
        tmin = std::min(tmin, lm->time);
        tmax = std::max(tmax, lm->time);
      }
      if (tmin > tmax) {
        std::cerr << "[ERROR]: error in computing the region of "
                  << "overlap between proposed histogram points" << std::endl;
        std::exit(1);
      }
      s->templateLength = static_cast<float>(tmax - tmin);
    }

    std::size_t total = 0;
    for (const auto& bin : h) total += bin.second.size();
    s->histogramMean = static_cast<float>(total) / s->overlapLength;
    float v = 0;
    for (const auto& bin : h) {
      const float d = static_cast<float>(bin.second.size()) - s->histogramMean;
      v += d * d;
    }
    v = v / s->overlapLength;
    s->histogramStdDev = std::sqrt(std::max(0.1f, v));
  }
  return table;
}

bool sameFloat(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }

std::string diffStats(const VkPairStats& a, const VkPairStats& b) {
  std::ostringstream out;
  out.precision(9);
  auto cmp = [&out](const char* name, float x, float y) {
    if (!sameFloat(x, y)) out << name << ": " << x << " vs " << y << "; ";
  };
  if (a.idA != b.idA || a.idB != b.idB) out << "ids differ; ";
  cmp("peakCount", a.peakCount, b.peakCount);
  cmp("peakOffset", a.peakOffset, b.peakOffset);
  cmp("overlapLength", a.overlapLength, b.overlapLength);
  cmp("matchFractionA", a.matchFractionA, b.matchFractionA);
  cmp("matchFractionB", a.matchFractionB, b.matchFractionB);
  cmp("overlapLandmarksA", a.overlapLandmarksA, b.overlapLandmarksA);
  cmp("overlapLandmarksB", a.overlapLandmarksB, b.overlapLandmarksB);
  cmp("templateLength", a.templateLength, b.templateLength);
  cmp("histogramMean", a.histogramMean, b.histogramMean);
  cmp("histogramStdDev", a.histogramStdDev, b.histogramStdDev);
  if (a.accepted != b.accepted) out << "accepted differs; ";
  return out.str();
}

}  // namespace velkref

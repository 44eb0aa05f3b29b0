// Inner loops shared by peak picking, pruning and smoothing. They work on raw
// pointers so that the compiler can vectorise them; each keeps the exact
// single-precision arithmetic of the plain per-bin formulas.
#ifndef VELK_EXTRACT_THRESHOLD_KERNELS_H
#define VELK_EXTRACT_THRESHOLD_KERNELS_H

#include <cstdint>
#include <vector>

namespace Velk {
namespace kernels {

// The masking curve mirrored around its centre: centre[j] == mask[|j|] for
// |j| < mask.size(). One forward loop then serves both sides of a peak, with
// no abs() and no branch per bin.
class SymmetricMask {
 public:
  explicit SymmetricMask(const std::vector<float>& mask) {
    const std::size_t n = mask.size();
    if (n == 0) return;
    values_.resize(2 * n - 1);
    for (std::size_t d = 0; d < n; ++d) {
      values_[n - 1 + d] = mask[d];
      values_[n - 1 - d] = mask[d];
    }
  }
  // Pointer p with p[i] == mask[|i - bin|] for the bins within the mask's reach.
  const float* around(int32_t bin) const {
    return values_.data() + (values_.size() / 2) - static_cast<std::size_t>(bin);
  }

 private:
  std::vector<float> values_;
};

// curve[i] = max(curve[i], level + skirt[i]) for i < n; the operand order is
// that of std::max(curve[i], ...).
inline void raise(float* __restrict curve, const float* __restrict skirt, int32_t n, float level) {
  for (int32_t i = 0; i < n; ++i) {
    const float v = level + skirt[i];
    curve[i] = curve[i] < v ? v : curve[i];
  }
}

inline void lower(float* curve, int32_t n, float by) {
  for (int32_t i = 0; i < n; ++i) curve[i] -= by;
}

}  // namespace kernels
}  // namespace Velk

#endif

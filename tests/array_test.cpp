// The designed buffer class: counts as 32-bit products, copies that always
// own, aliases that never resize, and the errors it reports.
#include "velk/array.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

using Velk::array;

namespace {

template <typename F>
std::string runtimeErrorOf(F f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no runtime_error)";
}

}  // namespace

TEST(Array, CountsAllocationFailuresAndAliases) {
  array<float> a(4, 2, 1);
  a = 1.5f;
  EXPECT_EQ(a.count(), 8);
  EXPECT_EQ(a[7], 1.5f);
  EXPECT_THROW(array<float>(2, -3, 1), std::bad_alloc);  // negative: an allocation failure
  // The count is a 32-bit product: 2^31 wraps negative and fails, 2^32 wraps to 0.
  EXPECT_THROW(array<float>(1 << 15, 1 << 16, 1), std::bad_alloc);
  EXPECT_EQ(array<float>(1 << 16, 1 << 16, 1).data, nullptr);

  float storage[4] = {1, 2, 3, 4};
  {
    array<float> view(storage, 4);
    array<float> copy(view);
    EXPECT_FALSE(copy.alias);
    copy = 0.0f;
    EXPECT_EQ(storage[0], 1.0f) << "a copy never shares storage";
    view = 9.0f;           // a fill writes through an alias
    view.resize(4, 1, 1);  // same extents succeed even on an alias
    EXPECT_EQ(runtimeErrorOf([&] { view.resize(5); }),
              "array::resize(): Cannot resize alias array");
    array<float> src(4);
    src = 3.0f;
    view = src;  // same shape: copies into the viewed storage
  }
  EXPECT_EQ(storage[3], 3.0f) << "destroying the alias left its storage alone";

  array<float> bad(static_cast<float*>(nullptr), -1);
  EXPECT_EQ(runtimeErrorOf([&] { array<float> c(bad); }),
            "array::array(): Error allocating memory");
  array<float> b(2);
  EXPECT_EQ(runtimeErrorOf([&] { b.resize(-2); }), "array::resize(): Error allocating memory");
  EXPECT_EQ(b.count(), 0) << "left empty after a failed allocation";
  b = 1.0f;  // must not write anywhere
  b.resize(3);
  b = 4.0f;
  EXPECT_EQ(b[2], 4.0f) << "usable again after the failure";

  array<float> dst(7, 2);
  dst = a;
  EXPECT_EQ(dst.dim1, 4);
  EXPECT_EQ(dst.dim2, 2);
  EXPECT_NE(dst.data, a.data);
  EXPECT_EQ(dst[7], 1.5f);
}

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

TEST(Array, ConstructionAndFill) {
  array<float> a(4, 2, 1);
  EXPECT_EQ(a.count(), 8);
  ASSERT_NE(a.data, nullptr);
  EXPECT_FALSE(a.alias);
  a = 1.5f;
  for (int32_t i = 0; i < 8; ++i) EXPECT_EQ(a[i], 1.5f);

  array<float> empty(0);
  EXPECT_EQ(empty.data, nullptr);
  empty = 3.0f;  // no storage, nothing to fill
  EXPECT_EQ(empty.count(), 0);

  array<unsigned char> bytes(5);
  bytes = static_cast<unsigned char>(7);
  EXPECT_EQ(bytes[4], 7);

  // A negative count is an allocation failure, reported untranslated.
  EXPECT_THROW(array<float>(-1), std::bad_alloc);
  EXPECT_THROW(array<float>(2, -3, 1), std::bad_alloc);
  EXPECT_THROW(array<unsigned char>(-5), std::bad_alloc);
  // The count is a 32-bit product: 2^31 wraps negative and fails, 2^32 wraps to 0.
  EXPECT_THROW(array<float>(1 << 15, 1 << 16, 1), std::bad_alloc);
  array<float> wrapped(1 << 16, 1 << 16, 1);
  EXPECT_EQ(wrapped.count(), 0);
  EXPECT_EQ(wrapped.data, nullptr);
}

TEST(Array, CopyAlwaysOwns) {
  float storage[3] = {1.0f, 2.0f, 3.0f};
  {
    array<float> view(storage, 3);
    EXPECT_TRUE(view.alias);
    array<float> copy(view);
    EXPECT_FALSE(copy.alias);
    EXPECT_NE(copy.data, storage);
    EXPECT_EQ(copy[2], 3.0f);
    copy = 0.0f;
    EXPECT_EQ(storage[0], 1.0f) << "a copy never shares storage";
    view = 9.0f;  // a fill writes through an alias
  }
  EXPECT_EQ(storage[1], 9.0f) << "destroying the alias left its storage alone";

  array<float> zero(0, 1, 1);
  array<float> zeroCopy(zero);  // reads nothing from the null source
  EXPECT_NE(zeroCopy.data, nullptr) << "a copy always allocates, even an empty block";
  EXPECT_EQ(zeroCopy.count(), 0);

  array<float> bad(static_cast<float*>(nullptr), -1);
  EXPECT_EQ(runtimeErrorOf([&] { array<float> c(bad); }),
            "array::array(): Error allocating memory");
}

TEST(Array, ResizeRules) {
  array<float> a(3);
  a = 2.0f;
  float* before = a.data;
  a.resize(3, 1, 1);
  EXPECT_EQ(a.data, before) << "same extents: nothing changes hands";
  EXPECT_EQ(a[2], 2.0f);

  a.resize(0);
  EXPECT_NE(a.data, nullptr) << "resize allocates even for a count of 0";
  a.resize(6, 2);
  EXPECT_EQ(a.dim1, 6);
  EXPECT_EQ(a.dim2, 2);
  EXPECT_EQ(a.count(), 12);

  float storage[4] = {1, 2, 3, 4};
  array<float> view(storage, 4);
  view.resize(4, 1, 1);  // same extents succeed even on an alias
  EXPECT_EQ(runtimeErrorOf([&] { view.resize(5); }), "array::resize(): Cannot resize alias array");
  EXPECT_EQ(view.dim1, 4);
  EXPECT_EQ(view.data, storage);

  array<float> b(2);
  EXPECT_EQ(runtimeErrorOf([&] { b.resize(-2); }), "array::resize(): Error allocating memory");
  EXPECT_EQ(b.count(), 0) << "left empty after a failed allocation";
  b = 1.0f;             // must not write anywhere
  b = array<float>(0);  // nor must assigning an empty array
  b.resize(3);
  b = 4.0f;
  EXPECT_EQ(b[2], 4.0f) << "usable again after the failure";
}

TEST(Array, AssignmentFromArray) {
  array<float> src(3);
  src[0] = 1.0f;
  src[1] = 2.0f;
  src[2] = 3.0f;

  array<float> dst(7, 2);
  dst = src;
  EXPECT_EQ(dst.dim1, 3);
  EXPECT_EQ(dst.dim2, 1);
  EXPECT_EQ(dst[1], 2.0f);
  EXPECT_NE(dst.data, src.data);

  float storage[3] = {0, 0, 0};
  array<float> view(storage, 3);
  view = src;  // same shape: copies into the viewed storage
  EXPECT_EQ(storage[2], 3.0f);
  array<float> view2(storage, 2);
  EXPECT_EQ(runtimeErrorOf([&] { view2 = src; }), "array::resize(): Cannot resize alias array");

  const array<float>& same = dst;
  dst = same;  // self-assignment keeps the values
  EXPECT_EQ(dst[0], 1.0f);
}

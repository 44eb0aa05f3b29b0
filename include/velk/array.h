// The library's numeric array: a flat block described by three extents.
#ifndef VELK_ARRAY_H
#define VELK_ARRAY_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "velk/export.h"

namespace Velk {

template <typename T>
class VELK_API array {
 public:
  T* data;
  int32_t dim1;
  int32_t dim2;
  int32_t dim3;
  bool alias;  // true: data is a view on storage owned elsewhere

  array(int32_t d1 = 0, int32_t d2 = 1, int32_t d3 = 1)
      : data(nullptr), dim1(d1), dim2(d2), dim3(d3), alias(false) {
    if (count() != 0) data = allocate(count());
  }

  // A view on caller-owned storage: never released, never reallocated.
  array(T* storage, int32_t d1, int32_t d2 = 1, int32_t d3 = 1)
      : data(storage), dim1(d1), dim2(d2), dim3(d3), alias(true) {}

  array(const array& b) : data(nullptr), dim1(b.dim1), dim2(b.dim2), dim3(b.dim3), alias(false) {
    try {
      data = allocate(count());
    } catch (const std::bad_alloc&) {
      throw std::runtime_error("array::array(): Error allocating memory");
    }
    copyFrom(b);
  }

  ~array() { release(); }

  // The count is computed in 32-bit signed arithmetic on purpose: a negative
  // product means "no elements" for loops and a failing allocation for storage.
  int32_t count() const {
    return static_cast<int32_t>(static_cast<uint32_t>(dim1) * static_cast<uint32_t>(dim2) *
                                static_cast<uint32_t>(dim3));
  }

  void resize(int32_t d1, int32_t d2 = 1, int32_t d3 = 1) {
    if (d1 == dim1 && d2 == dim2 && d3 == dim3) return;
    if (alias) throw std::runtime_error("array::resize(): Cannot resize alias array");
    dim1 = d1;
    dim2 = d2;
    dim3 = d3;
    release();
    data = nullptr;  // never keep a released block if the allocation below fails
    try {
      data = allocate(count());
    } catch (const std::bad_alloc&) {
      // Left empty (0 x 1 x 1) rather than with the new extents over no storage:
      // a later assignment of that shape would otherwise skip resize and write
      // through the null pointer.
      dim1 = 0;
      dim2 = 1;
      dim3 = 1;
      throw std::runtime_error("array::resize(): Error allocating memory");
    }
  }

  array& operator=(const T& v) {
    if (data != nullptr) {
      const int32_t n = count();
      for (int32_t i = 0; i < n; ++i) data[i] = v;
    }
    return *this;
  }

  array& operator=(const array& b) {
    if (this == &b) return *this;
    resize(b.dim1, b.dim2, b.dim3);
    copyFrom(b);
    return *this;
  }

  T& operator[](int32_t i) { return data[i]; }
  const T& operator[](int32_t i) const { return data[i]; }

 private:
  void copyFrom(const array& b) {
    const int32_t n = count();
    for (int32_t i = 0; i < n; ++i) data[i] = b.data[i];
  }

  void release() {
    if (data != nullptr && !alias) ::operator delete(data);
  }

  // Exactly count elements, no spare capacity. A negative count or an
  // overflowing byte size fails as an impossible request would, but without
  // asking for one (sanitizers abort on such requests instead of throwing).
  static T* allocate(int32_t n) {
    if (n < 0 || static_cast<uint64_t>(n) > std::numeric_limits<std::size_t>::max() / sizeof(T))
      throw std::bad_alloc();
    return static_cast<T*>(::operator new(static_cast<std::size_t>(n) * sizeof(T)));
  }
};

}  // namespace Velk

#endif

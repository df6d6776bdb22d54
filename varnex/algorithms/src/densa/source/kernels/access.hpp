// Element access for the kernels: a(i) reads or writes element i.
#pragma once

#include <cstdint>

namespace densa::kernels {

// Elements read in place, without a bounds check: for arrays whose indices were
// validated before the kernel started.
template <class T>
struct Unchecked {
    T* data;
    T& operator()(std::int64_t i) const { return data[i]; }
};

}  // namespace densa::kernels

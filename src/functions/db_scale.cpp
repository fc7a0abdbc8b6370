#include "functions/db_scale.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace sonolith {
namespace {

// Entry i = 10^((i - 199.5) / 20), computed in double and rounded to float. The table counts as
// unbuilt while entry 0 is 0; entries are written through atomic_ref so that a concurrent first
// build and lookup are well defined (both builds write the same values).
float table[kDbScaleEntries];

}  // namespace

void build_db_byte_scale() noexcept {
    for (int i = kDbScaleEntries - 1; i >= 0; --i) {
        float v = static_cast<float>(std::pow(10.0, (i - 199.5) / 20.0));
        std::atomic_ref<float>(table[i]).store(v, std::memory_order_release);
    }
}

const float *db_byte_scale() noexcept {
    if (std::atomic_ref<float>(table[0]).load(std::memory_order_acquire) == 0.0f)
        build_db_byte_scale();
    return table;
}

uint8_t db_byte_lookup(float amplitude) noexcept {
    const float *scale = db_byte_scale();
    if (!(amplitude > 1e-10f)) return 0;  // zero, negatives and NaN
    // The largest c with c == 0 or amplitude >= entry c-1: the count of thresholds reached.
    return static_cast<uint8_t>(std::upper_bound(scale, scale + kDbScaleEntries, amplitude) - scale);
}

}  // namespace sonolith

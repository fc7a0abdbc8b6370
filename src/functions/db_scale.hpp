// db_byte_scale: 255 single-precision amplitude thresholds half-way between whole-decibel steps,
// and the lookup that maps an amplitude to a one-byte code c meaning c - 200 dB.
#pragma once

#include <cstdint>

namespace sonolith {

inline constexpr int kDbScaleEntries = 255;

// Fills the table (idempotent: every build writes the same values).
void build_db_byte_scale() noexcept;
// The code 0..255 of a linear amplitude; builds the table first if needed.
uint8_t db_byte_lookup(float amplitude) noexcept;
// Read access for tests of the table itself and for the meter.
const float *db_byte_scale() noexcept;

}  // namespace sonolith

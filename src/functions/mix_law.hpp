// The dry/wet law shared by the effects: one mix value gives dry = min(2 - mix, 1) and
// wet = min(mix, 1) (0 dry only, 1 both full, 2 wet only), in the precision of the caller's
// value. A NaN mix gives NaN gains; callers that convert the mixed value to an integer do it
// through the saturating conversion.
#pragma once

namespace sonolith {

template <typename F>
inline void mix_gains(F mix, F *dry, F *wet) noexcept {
    const F d = F(2) - mix;
    *dry = d < F(1) ? d : F(1);
    *wet = mix < F(1) ? mix : F(1);
}

}  // namespace sonolith

// The FFT and room engines without Python, for tests/test_convolver.py (built there with the
// module's numeric flags and loaded through ctypes).
#include <vector>

#include "engines/fft.hpp"
#include "engines/room.hpp"

using namespace sonolith;

extern "C" {

void shim_fft(uint32_t n, int inverse, const float *in, float *out) {
    std::vector<float> table(fft_table_floats(n)), scratch(n);
    fft_plan plan;
    fft_plan_init(plan, n, table.data());
    if (inverse)
        fft_real_inverse(plan, in, out, scratch.data());
    else
        fft_real_forward(plan, in, out, scratch.data());
}

// spectra: ir_channels x partitions x 514 floats; returns the peak estimate.
float shim_room(double fs, uint32_t partitions, uint32_t ir_channels, float decay, float damping,
                float predelay, float fade, uint32_t seed, float *spectra) {
    std::vector<float> table(fft_table_floats(512)), scratch(512), block(512);
    std::vector<float> fold(room_fold_floats(fs, partitions));
    fft_plan plan;
    fft_plan_init(plan, 512, table.data());
    float peak = -1.0f;
    room_impulse_generate(fs, partitions, ir_channels, {decay, damping, predelay, fade, seed},
                          spectra, &plan, scratch.data(), block.data(), fold.data(), &peak);
    return peak;
}
}

// MeterState: a spectrum and level meter for displays. The caller feeds the audio being played
// (s16, 1 to 8 channels, the sample rate with every call); the first two channels are mixed to
// mono, and 60 times per second of audio the meter analyses the latest history:
//
//   - bands spaced logarithmically between low and high: a band whose centre lies below 400 Hz is
//     measured on the signal low-passed at 700 Hz (three single-precision biquad sections, a
//     sixth-order Butterworth) and decimated by 16, with a 512-point transform that runs on every
//     second analysis; the others on the full-rate signal with a 1024-point transform. A band's
//     power is the sum of its bins, the two edge bins weighted by the part of them that the band
//     covers;
//   - the peak and the mean square of the samples since the previous analysis;
//
// and publishes every level as a one-byte decibel code of the db_byte_scale lookup. A
// publication counter that is odd while a publication is written lets a reader detect a torn copy.
// Everything lives in one record on the C heap, allocated with its arrays at construction; feeding
// allocates nothing.
//
// Guards beyond the plain algorithm:
//   - configure refuses NaN and infinite band limits (after narrowing to single precision, so a
//     limit that narrows to 0 or to infinity is refused too), so that band edges and bin indices
//     are always finite;
//   - at sample rates of 1400 Hz and below the 700 Hz corner is not below Nyquist and its design
//     would be unstable; there the corner becomes 0.45 times the sample rate, so the filter stays
//     stable and no infinity or NaN reaches the decimated history.
#include <cmath>
#include <cstring>

#include "engines/fft.hpp"
#include "engines/sincos.hpp"
#include "functions/db_scale.hpp"
#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

// ---------------------------------------------------------------------------------------------
// Kernel

namespace kernel {

constexpr int kMeterMaxBands = 96;
constexpr int32_t kFullSize = 1024;   // full-rate transform and ring
constexpr int32_t kLowSize = 512;     // decimated transform and ring
constexpr int32_t kDecimation = 16;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kLn2 = 0.6931471805599453;

struct BandDescriptor {
    uint8_t low_resolution;
    uint16_t first_bin, last_bin;
    float first_fraction, last_fraction;
};
static_assert(sizeof(BandDescriptor) == 16);

// One transposed direct form II section: y = b0 x + s1, s1 = b1 x - a1 y + s2, s2 = b2 x - a2 y.
struct Section {
    float b0, b1, b2, a1, a2, s1, s2;
};

struct MeterRecord {
    int32_t pending;  // 1 after configure, until feed applies it
    uint8_t pending_bands;
    float pending_low, pending_high;
    uint8_t active;
    uint8_t bands;
    float low, high;
    uint32_t designed_rate;  // rate of the current filter and band layout; 0 forces a redesign
    float *full_ring;        // kFullSize floats, full-rate mono history
    float *decimated_ring;   // kLowSize floats, filtered history at 1/16 rate
    int32_t full_position, decimated_position;
    float *window_full, *window_low;
    float *transform_input;   // kFullSize floats
    float *transform_scratch; // kFullSize floats
    float *spectrum;          // kFullSize / 2 + 1 complex bins
    float *power;             // kFullSize / 2 floats
    float *tables_full, *tables_low;
    fft_plan plan_full, plan_low;
    float norm_full, norm_low;
    Section filter[3];
    int32_t decimation_phase;
    int32_t hop;  // samples per analysis
    int32_t since_analysis;
    float peak;
    float sum_squares;
    uint32_t count;
    BandDescriptor band[kMeterMaxBands];
    uint8_t working[kMeterMaxBands];
    uint32_t publication_counter;  // odd while a publication is being written
    uint8_t published[kMeterMaxBands];
    uint8_t published_peak, published_rms;
    uint64_t load_estimate, total_analysis_time;  // timing statistics, kept at 0
    uint32_t analyses;  // since the configuration was applied
    uint32_t longest_analysis;
};

// The record's arrays, with their lengths in floats, in allocation order.
struct ArraySlot {
    float *MeterRecord::*field;
    size_t count;
};
constexpr ArraySlot kArrays[] = {
    {&MeterRecord::full_ring, kFullSize},
    {&MeterRecord::decimated_ring, kLowSize},
    {&MeterRecord::window_full, kFullSize},
    {&MeterRecord::window_low, kLowSize},
    {&MeterRecord::transform_input, kFullSize},
    {&MeterRecord::transform_scratch, kFullSize},
    {&MeterRecord::spectrum, kFullSize + 2},
    {&MeterRecord::power, kFullSize / 2},
    {&MeterRecord::tables_full, kFullSize * 3 / 2},
    {&MeterRecord::tables_low, kLowSize * 3 / 2},
};

// Hann window w[i] = 0.5 - 0.5 cos(2 pi i / n); returns the power normalisation 2 / (n sum w^2).
float fill_window(float *w, int32_t n) noexcept {
    double sum = 0.0;
    for (int32_t i = 0; i < n; ++i) {
        const double angle = static_cast<double>(i) * kTwoPi / n;
        w[i] = static_cast<float>(0.5 - 0.5 * dsp_sincos(angle).cos);
        const double v = w[i];
        sum += v * v;
    }
    return static_cast<float>(2.0 / (n * sum));
}

// Natural logarithm of a positive finite x: x = m 2^e with m in [sqrt(1/2), sqrt(2)), then
// ln m = 2 artanh((m - 1) / (m + 1)) by its series up to z^15.
double natural_log(double x) noexcept {
    int e;
    double m = std::frexp(x, &e);
    if (m < 0.7071067811865476) m = 2.0 * m, e = e - 1;
    const double z = (m - 1.0) / (m + 1.0), z2 = z * z;
    double power = z, s = 0.0;
    for (int i = 1; i <= 15; i += 2) {
        s = s + power / i;
        power = power * z2;
    }
    return e * kLn2 + 2.0 * s;
}

// e^x: x = k ln 2 + r with |r| <= ln 2 / 2, e^r by its Taylor series up to r^14.
double exp_reduced(double x) noexcept {
    const double k = std::floor(x / kLn2 + 0.5);
    const double r = x - k * kLn2;
    double sum = 1.0, term = 1.0;
    for (int n = 1; n <= 14; ++n) {
        term = (r / n) * term;
        sum = sum + term;
    }
    return std::ldexp(sum, static_cast<int>(k));
}

// Filter, hop and band layout for sample rate fs.
void redesign(MeterRecord &m, uint32_t fs) noexcept {
    m.designed_rate = fs;
    const double rate = fs;
    // 2 pi 700 / fs; at 1400 Hz and below the corner would not be below Nyquist (unstable), so
    // there it sits at 0.45 fs.
    const double w = fs > 1400 ? 4398.22971502571 / rate : 2.827433388230814;
    const SinCos sc = dsp_sincos(w);
    constexpr double kPoleDivisor[3] = {1.03528, 1.41422, 3.8637};
    for (int i = 0; i < 3; ++i) {
        const double alpha = sc.sin / kPoleDivisor[i];
        const double a0 = 1.0 + alpha;
        Section &s = m.filter[i];
        s.b0 = s.b2 = static_cast<float>((1.0 - sc.cos) / 2.0 / a0);
        s.b1 = static_cast<float>((1.0 - sc.cos) / a0);
        s.a1 = static_cast<float>(-2.0 * sc.cos / a0);
        s.a2 = static_cast<float>((1.0 - alpha) / a0);
        s.s1 = s.s2 = 0.0f;
    }
    m.decimation_phase = 0;
    m.since_analysis = 0;
    m.hop = static_cast<int32_t>(fs / 60);

    if (m.bands == 0) return;
    // The limits are finite and 0 < low < high (configure sees to it), so every edge is finite.
    const double rho = exp_reduced(natural_log(static_cast<double>(m.high) / m.low) / m.bands);
    double f_lo = m.low;
    for (int j = 0; j < m.bands; ++j) {
        const double f_hi = f_lo * rho;
        const bool low_resolution = std::sqrt(f_lo * f_hi) < 400.0;
        const double bin_width = low_resolution ? rate * 0.0625 * 0.001953125 : rate * 0.0009765625;
        const double top = low_resolution ? 255.0 : 511.0;
        const double e_hi = std::fmin(top + 0.5, f_hi / bin_width);
        const double e_lo = std::fmin(e_hi, std::fmax(0.5, f_lo / bin_width));
        const double first = std::fmin(top, std::floor(e_lo + 0.5));
        const double last = std::fmin(top, std::floor(e_hi + 0.5));
        BandDescriptor &b = m.band[j];
        b.low_resolution = low_resolution;
        b.first_bin = static_cast<uint16_t>(first);
        b.last_bin = static_cast<uint16_t>(last);
        if (first == last) {
            b.first_fraction = static_cast<float>(e_hi - e_lo);
            b.last_fraction = 0.0f;
        } else {
            b.first_fraction = static_cast<float>(first + 0.5 - e_lo);
            b.last_fraction = static_cast<float>(e_hi - (last - 0.5));
        }
        f_lo = f_hi;
    }
}

// Windows the ring (oldest sample first) into the transform input and leaves the power of bins
// 1 .. n/2 - 1 in m.power (bin 0 is 0).
void power_spectrum(MeterRecord &m, const float *ring, int32_t position, const float *window,
                    const fft_plan &plan, int32_t n) noexcept {
    const int32_t tail = n - position;
    for (int32_t i = 0; i < tail; ++i) m.transform_input[i] = ring[position + i] * window[i];
    for (int32_t i = tail; i < n; ++i) m.transform_input[i] = ring[i - tail] * window[i];
    fft_real_forward(plan, m.transform_input, m.spectrum, m.transform_scratch);
    m.power[0] = 0.0f;
    for (int32_t k = 1; k < n / 2; ++k) {
        const float re = m.spectrum[2 * k], im = m.spectrum[2 * k + 1];
        m.power[k] = re * re + im * im;
    }
}

uint8_t band_code(const MeterRecord &m, const BandDescriptor &b, float norm) noexcept {
    float sum = m.power[b.first_bin] * b.first_fraction;
    if (b.last_bin > b.first_bin) {
        for (int k = b.first_bin + 1; k < b.last_bin; ++k) sum += m.power[k];
        sum += m.power[b.last_bin] * b.last_fraction;
    }
    return db_byte_lookup(sum * norm * 2.0f);
}

void analyse(MeterRecord &m) noexcept {
    const int bands = m.bands;
    // Low-resolution bands come first (their centres rise with the index); the full-rate
    // transform is skipped when no band reads it.
    int first_full = 0;
    while (first_full < bands && m.band[first_full].low_resolution) ++first_full;
    if (first_full < bands) {
        power_spectrum(m, m.full_ring, m.full_position, m.window_full, m.plan_full, kFullSize);
        for (int j = 0; j < bands; ++j)
            if (!m.band[j].low_resolution) m.working[j] = band_code(m, m.band[j], m.norm_full);
    }
    if (bands > 0 && m.band[0].low_resolution && m.analyses % 2 == 0) {
        power_spectrum(m, m.decimated_ring, m.decimated_position, m.window_low, m.plan_low,
                       kLowSize);
        for (int j = 0; j < bands; ++j)
            if (m.band[j].low_resolution) m.working[j] = band_code(m, m.band[j], m.norm_low);
    }
    const uint8_t peak = db_byte_lookup(m.peak * m.peak);
    const uint8_t rms = m.count == 0 ? 0 : db_byte_lookup(m.sum_squares / static_cast<float>(m.count));
    m.peak = 0.0f, m.sum_squares = 0.0f, m.count = 0;

    m.publication_counter += 1;
    std::memcpy(m.published, m.working, static_cast<size_t>(bands));
    m.published_peak = peak, m.published_rms = rms;
    m.publication_counter += 1;
    m.analyses += 1;
}

// Runs n frames through the history, level and filter path (no analysis falls inside them).
// Multi is false for mono input; otherwise the first two of `stride` channels are mixed.
template <bool Multi>
void take_frames(MeterRecord &m, const uint8_t *pcm, size_t n, size_t stride) noexcept {
    float *full = m.full_ring, *decimated = m.decimated_ring;
    int32_t full_position = m.full_position, decimated_position = m.decimated_position;
    int32_t phase = m.decimation_phase;
    float peak = m.peak, sum_squares = m.sum_squares;
    Section f0 = m.filter[0], f1 = m.filter[1], f2 = m.filter[2];
    for (size_t i = 0; i < n; ++i) {
        float a;
        if constexpr (Multi) {
            const int32_t s = load_s16(pcm, i * stride) + load_s16(pcm, i * stride + 1);
            a = static_cast<float>(s) * 1.52587890625e-05f;
        } else {
            a = static_cast<float>(load_s16(pcm, i)) * 3.0517578125e-05f;
        }
        full[full_position] = a;
        full_position = (full_position + 1) & (kFullSize - 1);
        const float magnitude = std::fabs(a);
        peak = magnitude > peak ? magnitude : peak;
        sum_squares += a * a;

        float y = f0.b0 * a + f0.s1;
        f0.s1 = f0.b1 * a - f0.a1 * y + f0.s2;
        f0.s2 = f0.b2 * a - f0.a2 * y;
        const float x1 = y;
        y = f1.b0 * x1 + f1.s1;
        f1.s1 = f1.b1 * x1 - f1.a1 * y + f1.s2;
        f1.s2 = f1.b2 * x1 - f1.a2 * y;
        const float x2 = y;
        y = f2.b0 * x2 + f2.s1;
        f2.s1 = f2.b1 * x2 - f2.a1 * y + f2.s2;
        f2.s2 = f2.b2 * x2 - f2.a2 * y;

        if (phase == kDecimation - 1) {
            decimated[decimated_position] = y;
            decimated_position = (decimated_position + 1) & (kLowSize - 1);
            phase = 0;
        } else {
            phase += 1;
        }
    }
    m.full_position = full_position, m.decimated_position = decimated_position;
    m.decimation_phase = phase;
    m.peak = peak, m.sum_squares = sum_squares;
    m.count += static_cast<uint32_t>(n);
    m.filter[0] = f0, m.filter[1] = f1, m.filter[2] = f2;
}

// Feeds `frames` frames of `channels`-channel s16 audio, analysing at every hop.
void feed(MeterRecord &m, const uint8_t *pcm, size_t frames, uint32_t channels) noexcept {
    while (frames > 0) {
        const size_t room = static_cast<size_t>(m.hop - m.since_analysis);
        const size_t n = frames < room ? frames : room;
        if (channels == 1)
            take_frames<false>(m, pcm, n, 1);
        else
            take_frames<true>(m, pcm, n, channels);
        pcm += n * channels * 2;
        frames -= n;
        m.since_analysis += static_cast<int32_t>(n);
        if (m.since_analysis == m.hop) {
            analyse(m);
            m.since_analysis = 0;
        }
    }
}

void free_record(MeterRecord *m) noexcept {
    if (m == nullptr) return;
    for (const ArraySlot &a : kArrays) std::free(m->*a.field);
    std::free(m);
}

// A new record with its arrays (rings zeroed), windows and transform plans; null when an
// allocation fails.
MeterRecord *new_record() noexcept {
    auto *m = static_cast<MeterRecord *>(std::calloc(1, sizeof(MeterRecord)));
    if (m == nullptr) return nullptr;
    for (const ArraySlot &a : kArrays) {
        m->*a.field = static_cast<float *>(std::calloc(a.count, sizeof(float)));
        if (m->*a.field == nullptr) {
            free_record(m);
            return nullptr;
        }
    }
    db_byte_scale();
    m->norm_full = fill_window(m->window_full, kFullSize);
    m->norm_low = fill_window(m->window_low, kLowSize);
    fft_plan_init(m->plan_full, kFullSize, m->tables_full);
    fft_plan_init(m->plan_low, kLowSize, m->tables_low);
    return m;
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Binding

namespace {

struct MeterObject {
    PyObject_HEAD
    ObjectMutex lock;
    kernel::MeterRecord *record;
    uint8_t ready;
};

constexpr const char kBadConfiguration[] = "bands 0..96, and 0 < low_hz < high_hz";
constexpr const char kBadFeed[] = "whole s16 frames, 1..8 channels, 1 kHz..384 kHz";

void free_arrays(MeterObject *self) noexcept {
    kernel::free_record(self->record);
    self->record = nullptr;
    self->ready = 0;
}

// A second __init__ keeps the record and everything in it.
int init(MeterObject *self, PyObject *args, PyObject *kwds) {
    (void)kwds;  // parsed positionally: keyword arguments are ignored
    if (!PyArg_ParseTuple(args, ":MeterState")) return -1;
    if (self->record != nullptr) return 0;
    self->record = kernel::new_record();
    if (self->record == nullptr) return no_memory();
    self->ready = 1;
    return 0;
}

PyObject *configure(MeterObject *self, PyObject *args) {
    int bands;
    double low_hz, high_hz;
    if (!PyArg_ParseTuple(args, "idd:configure", &bands, &low_hz, &high_hz)) return nullptr;
    const float low = narrow_float(low_hz), high = narrow_float(high_hz);
    // NaN fails both comparisons; an infinite high limit would give infinite band edges.
    if (static_cast<unsigned int>(bands) > kernel::kMeterMaxBands || !(low > 0.0f) ||
        !(low < high) || !std::isfinite(high))
        return value_error(kBadConfiguration);
    kernel::MeterRecord &m = *self->record;
    m.pending_bands = static_cast<uint8_t>(bands);
    m.pending_low = low;
    m.pending_high = high;
    m.pending = 1;
    Py_RETURN_NONE;
}

PyObject *feed(MeterObject *self, PyObject *args) {
    BufferView in;
    unsigned int rate, channels = 2;
    if (!PyArg_ParseTuple(args, "y*I|I:feed", in.out(), &rate, &channels)) return nullptr;
    if (rate < 1000 || rate > 384000 || channels < 1 || channels > 8 ||
        in.size() % (size_t(channels) * 2) != 0)
        return value_error(kBadFeed);
    kernel::MeterRecord &m = *self->record;
    if (m.pending) {
        m.low = m.pending_low, m.high = m.pending_high, m.bands = m.pending_bands;
        m.active = m.bands != 0;
        m.pending = 0;
        m.designed_rate = 0;
        std::memset(m.working, 0, sizeof m.working);
        m.load_estimate = m.total_analysis_time = 0;
        m.analyses = m.longest_analysis = 0;
    }
    const size_t frames = in.size() / (size_t(channels) * 2);
    if (m.active && frames > 0) {
        if (rate != m.designed_rate) kernel::redesign(m, rate);
        without_gil(kernel_work(frames, 8), [&] { kernel::feed(m, in.bytes(), frames, channels); });
    }
    Py_RETURN_NONE;
}

PyObject *read(MeterObject *self, PyObject *) {
    const kernel::MeterRecord &m = *self->record;
    uint8_t codes[kernel::kMeterMaxBands];
    const size_t n = m.bands < kernel::kMeterMaxBands ? m.bands : kernel::kMeterMaxBands;
    uint8_t peak = 0, rms = 0;
    // A publication in progress has an odd counter; a copy is good when the counter was even
    // and unchanged across it. Under the object's lock the first attempt succeeds.
    for (int attempt = 0; attempt < 4; ++attempt) {
        const uint32_t before = m.publication_counter;
        std::memcpy(codes, m.published, n);
        peak = m.published_peak, rms = m.published_rms;
        if (before % 2 == 0 && m.publication_counter == before)
            return Py_BuildValue("(ky#ii)", static_cast<unsigned long>(before / 2),
                                 reinterpret_cast<const char *>(codes), static_cast<Py_ssize_t>(n),
                                 int(peak), int(rms));
    }
    return Py_BuildValue("(ky#ii)", 0ul, "", Py_ssize_t(0), int(peak), int(rms));
}

PyObject *stats(MeterObject *self, PyObject *) {
    const kernel::MeterRecord &m = *self->record;
    return Py_BuildValue("(OkkKKkK)", m.active ? Py_True : Py_False,
                         static_cast<unsigned long>(m.bands), static_cast<unsigned long>(m.analyses),
                         static_cast<unsigned long long>(m.load_estimate),
                         static_cast<unsigned long long>(m.total_analysis_time),
                         static_cast<unsigned long>(m.longest_analysis), 0ull);
}

PyMethodDef methods[] = {
    SL_READY("configure", configure, METH_VARARGS),
    SL_READY("feed", feed, METH_VARARGS),
    SL_READY("read", read, METH_NOARGS),
    SL_READY("stats", stats, METH_NOARGS),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(locked<init>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc_owning<MeterObject, free_arrays>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec meter_state_spec = {
    "_sonolith.MeterState",
    sizeof(MeterObject),
    0,
    Py_TPFLAGS_HEAPTYPE,
    slots,
};

}  // namespace sonolith

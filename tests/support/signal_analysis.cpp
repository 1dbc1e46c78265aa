#include "tests/support/signal_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>

#include "platform/byte_reader.h"
#include "platform/input_stream.h"
#include "platform/riff_chunks.h"

namespace tz::test {

bool readWav16(const std::filesystem::path& path, StereoPcm& out) {
    // Renders here last minutes, not hours.
    constexpr size_t kMaxBytes = size_t(1) << 30;
    std::vector<uint8_t> b;
    if (!readWholeFile(path.string(), b, kMaxBytes)) return false;
    ByteReader in(b.data(), b.size());
    if (!in.tag("RIFF") || !in.seek(8) || !in.tag("WAVE") || !in.skip(4)) return false;
    bool formatOk = false;
    RiffChunkView chunk;
    while (nextRiffChunk(in, chunk)) {
        ByteReader body(chunk.data);
        uint16_t channels = 0, bits = 0;
        uint32_t rate = 0;
        if (chunk.id == fourCC("fmt ") && chunk.data.size() >= 16) {
            formatOk = body.skip(2) && body.u16le(channels) && body.u32le(rate) && body.skip(6) && body.u16le(bits) &&
                       channels == 2 && rate == uint32_t(kPcmRate) && bits == 16;
        } else if (chunk.id == fourCC("data")) {
            if (!formatOk) return false;
            out.samples.resize(chunk.data.size() / 4 * 2);
            for (int16_t& v : out.samples) body.i16le(v);
            return true;
        }
    }
    return false;
}

StereoPcm pcmFromBytes(const std::vector<uint8_t>& bytes) {
    StereoPcm s;
    s.samples.resize(bytes.size() / 4 * 2);
    for (size_t i = 0; i < s.samples.size(); ++i)
        s.samples[i] = int16_t(uint16_t(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
    return s;
}

void fft(std::vector<std::complex<double>>& a) {
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    // The products written out: std::complex's operator* checks for
    // infinities and costs several times as much.
    // The twiddle factors of the last size, kept per thread.
    thread_local std::vector<double> cosines, sines;
    if (cosines.size() != n / 2) {
        cosines.resize(n / 2);
        sines.resize(n / 2);
        for (size_t k = 0; k < n / 2; ++k) {
            cosines[k] = std::cos(2.0 * std::numbers::pi * double(k) / double(n));
            sines[k] = -std::sin(2.0 * std::numbers::pi * double(k) / double(n));
        }
    }
    double* d = reinterpret_cast<double*>(a.data());
    for (size_t len = 2; len <= n; len <<= 1) {
        const size_t half = len / 2, step = n / len;
        for (size_t i = 0; i < n; i += len)
            for (size_t k = 0; k < half; ++k) {
                const double wr = cosines[k * step], wi = sines[k * step];
                double* u = d + 2 * (i + k);
                double* v = d + 2 * (i + k + half);
                const double vr = v[0] * wr - v[1] * wi, vi = v[0] * wi + v[1] * wr;
                v[0] = u[0] - vr;
                v[1] = u[1] - vi;
                u[0] += vr;
                u[1] += vi;
            }
    }
}

double pearson(const std::vector<double>& x, const std::vector<double>& y) {
    const size_t n = std::min(x.size(), y.size());
    if (n < 2) return 0;
    double mx = 0, my = 0;
    for (size_t i = 0; i < n; ++i) {
        mx += x[i];
        my += y[i];
    }
    mx /= double(n);
    my /= double(n);
    double sxy = 0, sxx = 0, syy = 0;
    for (size_t i = 0; i < n; ++i) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
        syy += (y[i] - my) * (y[i] - my);
    }
    return sxx > 0 && syy > 0 ? sxy / std::sqrt(sxx * syy) : 0;
}

double median(std::vector<double> v) {
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

double levelDb(const StereoPcm& s, size_t from, size_t count) {
    double sum = 0;
    const size_t end = std::min(s.frames(), from + count);
    for (size_t i = from; i < end; ++i) {
        const double l = s.samples[2 * i], r = s.samples[2 * i + 1];
        sum += 0.5 * (l * l + r * r);
    }
    return 10.0 * std::log10(sum / double(std::max<size_t>(count, 1)) + 1e-9);
}

std::vector<double> envelopeDb(const StereoPcm& s, size_t from, size_t count, double floorDb) {
    std::vector<double> e(count);
    for (size_t w = 0; w < count; ++w) e[w] = levelDb(s, from + w * kEnvelopeWindow, kEnvelopeWindow);
    if (e.empty()) return e;
    const double peak = *std::max_element(e.begin(), e.end());
    for (double& v : e) v = std::max(v, peak - floorDb);
    return e;
}

size_t onsetFrame(const StereoPcm& s, double belowPeakDb) {
    int peak = 0;
    for (int16_t v : s.samples) peak = std::max(peak, std::abs(int(v)));
    if (peak == 0) return s.frames();
    const double threshold = std::max(1.0, double(peak) * std::pow(10.0, -belowPeakDb / 20.0));
    for (size_t i = 0; i < s.samples.size(); ++i)
        if (std::abs(double(s.samples[i])) >= threshold) return i / 2;
    return s.frames();
}

double envelopeCorrelation(const StereoPcm& a, size_t aStart, const StereoPcm& b, size_t bStart, size_t frames) {
    const size_t windows = frames / kEnvelopeWindow;
    return pearson(envelopeDb(a, aStart, windows, 60.0), envelopeDb(b, bStart, windows, 60.0));
}

double soundingSeconds(const StereoPcm& s, size_t from, size_t count, double belowDb) {
    std::vector<double> db;
    for (size_t at = from; at + kEnvelopeWindow <= from + count && at + kEnvelopeWindow <= s.frames();
         at += kEnvelopeWindow)
        db.push_back(levelDb(s, at, kEnvelopeWindow));
    if (db.empty()) return 0;
    const double peak = *std::max_element(db.begin(), db.end());
    size_t last = 0;
    for (size_t i = 0; i < db.size(); ++i)
        if (db[i] >= peak - belowDb) last = i;
    return double((last + 1) * kEnvelopeWindow) / kPcmRate;
}

double spectralCentroid(const StereoPcm& s, size_t from, size_t count) {
    constexpr size_t kBlock = 4096;
    std::vector<double> window(kBlock), power(kBlock / 2 + 1, 0.0);
    for (size_t i = 0; i < kBlock; ++i) window[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (double(i) + 0.5) / kBlock);
    const size_t end = std::min(s.frames(), from + count);
    auto mono = [&](size_t frame) { return double(s.samples[2 * frame]) + double(s.samples[2 * frame + 1]); };
    // Two blocks per transform, one as the real part and one as the
    // imaginary: X[k] and conj(X[n - k]) part them again.
    std::vector<std::complex<double>> a(kBlock);
    for (size_t at = from; at + kBlock <= end; at += 2 * kBlock) {
        const bool pair = at + 2 * kBlock <= end;
        for (size_t i = 0; i < kBlock; ++i)
            a[i] = {window[i] * mono(at + i), pair ? window[i] * mono(at + kBlock + i) : 0.0};
        fft(a);
        for (size_t k = 1; k <= kBlock / 2; ++k) {
            const std::complex<double> x = a[k], y = std::conj(a[(kBlock - k) % kBlock]);
            power[k] += std::norm(x + y) / 4 + std::norm(x - y) / 4;
        }
    }
    double weighted = 0, total = 0;
    for (size_t k = 1; k <= kBlock / 2; ++k) {
        weighted += double(k) * power[k];
        total += power[k];
    }
    return total > 0 ? weighted / total * kPcmRate / kBlock : 0;
}

double channelCorrelation(const StereoPcm& s) {
    const size_t n = s.frames();
    if (n < 2) return 0;
    double ml = 0, mr = 0;
    for (size_t i = 0; i < n; ++i) {
        ml += s.samples[2 * i];
        mr += s.samples[2 * i + 1];
    }
    ml /= double(n);
    mr /= double(n);
    double slr = 0, sll = 0, srr = 0;
    for (size_t i = 0; i < n; ++i) {
        const double l = s.samples[2 * i] - ml, r = s.samples[2 * i + 1] - mr;
        slr += l * r;
        sll += l * l;
        srr += r * r;
    }
    return sll > 0 && srr > 0 ? slr / std::sqrt(sll * srr) : 0;
}

uint64_t clippedSamples(const StereoPcm& s) {
    uint64_t n = 0;
    for (int16_t v : s.samples) n += v == 32767 || v == -32768;
    return n;
}

}  // namespace tz::test

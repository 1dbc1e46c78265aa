// Measures of rendered audio, for the benchmarks that set our sound beside
// other synthesizers': 16-bit stereo at 44.1 kHz, as the song player
// delivers it and the reference renderers write it. Levels are in dB of the
// mean power of both channels, 0 dB being one LSB squared.
#pragma once
#include <complex>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace tz::test {

constexpr int kPcmRate = 44100;
// The window of the loudness envelopes.
constexpr size_t kEnvelopeWindow = kPcmRate / 100;

struct StereoPcm {
    std::vector<int16_t> samples;  // interleaved left, right
    size_t frames() const { return samples.size() / 2; }
};

// A 16-bit stereo WAV file at 44.1 kHz, whatever other chunks it holds.
bool readWav16(const std::filesystem::path& path, StereoPcm& out);
// The song player's output bytes (signed 16-bit little-endian stereo).
StereoPcm pcmFromBytes(const std::vector<uint8_t>& bytes);

// In-place radix-2 FFT; the size is a power of two.
void fft(std::vector<std::complex<double>>& a);
// Pearson's correlation of the first min(x, y) values; 0 when either is
// constant there.
double pearson(const std::vector<double>& x, const std::vector<double>& y);
double median(std::vector<double> v);

// Mean power of both channels over frames [from, from + count), in dB;
// frames past the end count as silence.
double levelDb(const StereoPcm& s, size_t from, size_t count);

// `count` windows of kEnvelopeWindow frames from `from`: the level of
// each, floored `floorDb` under the loudest of them.
std::vector<double> envelopeDb(const StereoPcm& s, size_t from, size_t count, double floorDb);

// The first frame at which either channel reaches `belowPeakDb` under the
// render's largest sample; frames() when it is silent.
size_t onsetFrame(const StereoPcm& s, double belowPeakDb);

// The correlation of two renders' envelopes (floored 60 dB under their
// loudest window) over `frames` from each one's own start.
double envelopeCorrelation(const StereoPcm& a, size_t aStart, const StereoPcm& b, size_t bStart, size_t frames);

// Seconds from `from` to the end of the last envelope window, of those in
// [from, from + count), that is within `belowDb` of the loudest of them.
double soundingSeconds(const StereoPcm& s, size_t from, size_t count, double belowDb);

// The power-weighted mean frequency of both channels' sum over [from,
// from + count), in Hz (Hann windows of 4096 frames; DC left out); 0 when
// silent.
double spectralCentroid(const StereoPcm& s, size_t from, size_t count);

// The correlation of the left and right channels over the whole render.
double channelCorrelation(const StereoPcm& s);

// Samples at either end of the 16-bit range.
uint64_t clippedSamples(const StereoPcm& s);

}  // namespace tz::test

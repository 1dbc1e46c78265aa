// Effects report: our reverb and chorus measured next to FluidSynth's and
// SpessaSynth's on the same songs and SoundFont, and what they cost.
//
//   effects_report --bank FILE.dls --sf2 FILE.sf2 [--spessa render.mjs] [--no-fluid]
//                  [--speed-seconds S] [--songs FILE.mid ...]
//
// Every engine renders each song with the effect on and off; the difference
// of the two renders is the effect's output (the wet signal), the render off
// the dry one.
//   reverb: a click song (side stick, note 37, on channel 10 with CC91 = 127,
//     then 6 s of silence; three times). Per engine: T60 from Schroeder's
//     backward-integrated decay curve, fitted from -5 to -35 dB; the
//     correlation of the left and right tails over that stretch (lower is
//     wider); how far the tail's spectrum peaks above the median of its
//     third-octave band, for the bands from 100 Hz to 8 kHz, the largest
//     excess (ringing; a noise-like tail measures about 11 dB, which the
//     report checks first on decaying white noise); and the wet energy over
//     the dry. The median over the clicks.
//     Ours also on impulses, which leaves out the click's own colour.
//   chorus: a held note with CC93 = 127 (an organ, 20 s). Per engine: how
//     far the chorus output's fundamental spreads in pitch (cents, half the
//     span holding 90 % of its energy) and at what rate its pattern repeats
//     (Hz, the spacing of its sidebands), the delay swing that implies for
//     one copy (ms), and the wet energy over the dry.
// Ours: until the engine's standard sound sends voices to the effects, the
// dry render comes from the engine (the plug-in's code, in this process) and
// the effect runs over it in this program as a full send; renderOurs is the
// one place to change when the engine renders with effects itself.
//
// Speed: each effect's frames per second over noise on every SIMD path, as
// a multiple of real time, and, for the songs named with --songs, the time
// the reverb takes over their dry renders next to the time the engine takes
// to render them (thread CPU time).
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "instruments/config.h"
#include "instruments/dls_collection.h"
#include "platform/byte_reader.h"
#include "platform/input_stream.h"
#include "platform/riff_chunks.h"
#include "records/midi_song.h"
#include "song/song_assembly.h"
#include "song/song_player.h"
#include "synth/chorus.h"
#include "synth/render.h"
#include "synth/reverb.h"
#include "synth/simd_path.h"
#include "tests/support/player.h"
#include "tests/support/files.h"
#include "tests/support/smf_builder.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRate = 44100;
constexpr int kClicks = 3;
constexpr int kClickSlotMs = 6000;
constexpr int kChorusHoldMs = 20000;
constexpr int kChorusProgram = 19;  // church organ: held, steady, bright
constexpr int kChorusNote = 60;
// Mix units per output LSB.
constexpr double kLsb = 8192.0;

struct Stereo {
    std::vector<double> left, right;
    size_t frames() const { return left.size(); }
};

// --- files and the reference renderers ---------------------------------------

// A 16-bit stereo WAV file at kRate, whatever chunks it holds.
bool readWav(const fs::path& path, Stereo& out) {
    std::vector<uint8_t> b;
    if (!tz::readWholeFile(path.string(), b, size_t(1) << 30)) return false;
    tz::ByteReader in(b.data(), b.size());
    if (!in.tag("RIFF") || !in.seek(8) || !in.tag("WAVE") || !in.skip(4)) return false;
    bool formatOk = false;
    tz::RiffChunkView chunk;
    while (tz::nextRiffChunk(in, chunk)) {
        tz::ByteReader body(chunk.data);
        uint16_t channels = 0, bits = 0;
        uint32_t rate = 0;
        if (chunk.id == tz::fourCC("fmt ") && chunk.data.size() >= 16) {
            formatOk = body.skip(2) && body.u16le(channels) && body.u32le(rate) && body.skip(6) && body.u16le(bits) &&
                       channels == 2 && rate == uint32_t(kRate) && bits == 16;
        } else if (chunk.id == tz::fourCC("data")) {
            if (!formatOk) return false;
            const size_t frames = chunk.data.size() / 4;
            out.left.resize(frames);
            out.right.resize(frames);
            for (size_t i = 0; i < frames; ++i) {
                int16_t l = 0, r = 0;
                body.i16le(l);
                body.i16le(r);
                out.left[i] = l;
                out.right[i] = r;
            }
            return true;
        }
    }
    return false;
}

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool runToWav(const std::string& command, const fs::path& wav, Stereo& out) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0 || !readWav(wav, out)) return false;
    fs::remove(wav);
    return true;
}

// The song as the dry render and the effect's output alone.
struct Renders {
    Stereo dry, wet;
};

Stereo difference(const Stereo& on, const Stereo& off) {
    Stereo d;
    const size_t n = std::min(on.frames(), off.frames());
    d.left.resize(n);
    d.right.resize(n);
    for (size_t i = 0; i < n; ++i) {
        d.left[i] = on.left[i] - off.left[i];
        d.right[i] = on.right[i] - off.right[i];
    }
    return d;
}

enum class Effect { Reverb, Chorus };

struct Options {
    std::string bank, sf2, spessa;
    bool fluid = true;
    double speedSeconds = 60;
    std::vector<std::string> songs;
    fs::path tmp;
};

// FluidSynth's fast file render: the effect on (the other off) against both off.
bool renderFluid(const Options& o, const fs::path& midi, Effect effect, Renders& out) {
    const std::string base = "timeout 600 fluidsynth -ni -r 44100 -o synth.polyphony=64 ";
    const std::string on = effect == Effect::Reverb ? "-C 0 " : "-R 0 ";
    const std::string files = quoted(o.sf2) + " " + quoted(midi.string());
    const fs::path wav = o.tmp / "fluid.wav";
    Stereo withEffect;
    if (!runToWav(base + on + "-F " + quoted(wav.string()) + " " + files, wav, withEffect)) return false;
    if (!runToWav(base + "-R 0 -C 0 -F " + quoted(wav.string()) + " " + files, wav, out.dry)) return false;
    out.wet = difference(withEffect, out.dry);
    return true;
}

bool renderSpessa(const Options& o, const fs::path& midi, Effect effect, Renders& out) {
    const std::string base = "timeout 600 node " + quoted(o.spessa) + " " + quoted(midi.string()) + " " +
                             quoted(o.sf2) + " ";
    const std::string on = effect == Effect::Reverb ? " --no-chorus" : " --no-reverb";
    const fs::path wav = o.tmp / "spessa.wav";
    Stereo withEffect;
    if (!runToWav(base + quoted(wav.string()) + on + " --tail 0", wav, withEffect)) return false;
    if (!runToWav(base + quoted(wav.string()) + " --no-reverb --no-chorus --tail 0", wav, out.dry)) return false;
    out.wet = difference(withEffect, out.dry);
    return true;
}

// --- our engine ----------------------------------------------------------------

double threadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The song rendered by the engine as a host gets it: 16-bit stereo values,
// interleaved. `seconds`, when given, receives the CPU time of the render.
std::vector<int16_t> renderEngine(const std::vector<uint8_t>& midi, const tz::Settings& bank,
                                  double* seconds = nullptr) {
    std::unique_ptr<tz::SongPlayer> player = tz::SongPlayer::openMemory(midi, bank);
    std::vector<int16_t> pcm;
    if (!player) return pcm;
    player->loadInstruments();
    std::vector<uint8_t> block(4096);
    const double start = threadSeconds();
    for (int32_t n; (n = player->read(block.data(), int32_t(block.size()))) > 0;) {
        const size_t at = pcm.size();
        pcm.resize(at + size_t(n) / 2);
        std::memcpy(pcm.data() + at, block.data(), size_t(n));
    }
    if (seconds) *seconds = threadSeconds() - start;
    return pcm;
}

// Runs an effect over the interleaved PCM as a full send, in chunks of the
// engine's size: its output alone, in output LSBs, before any conversion (a
// difference of two 16-bit renders would hide the tail's last 40 dB under
// the engine's rounding toward minus infinity).
using EffectRun = std::function<void(const int64_t* bus, int64_t* mix, int32_t frames)>;

Stereo effectOutput(const std::vector<int16_t>& pcm, const EffectRun& run) {
    constexpr int32_t kChunk = 1024;
    Stereo out;
    std::vector<int64_t> bus(2 * kChunk), mix(2 * kChunk);
    const size_t frames = pcm.size() / 2;
    for (size_t at = 0; at < frames; at += kChunk) {
        const int32_t n = int32_t(std::min<size_t>(kChunk, frames - at));
        for (int32_t i = 0; i < 2 * n; ++i) bus[i] = int64_t(pcm[2 * at + i]) * 8192;
        std::fill(mix.begin(), mix.end(), 0);
        run(bus.data(), mix.data(), n);
        for (int32_t i = 0; i < n; ++i) {
            out.left.push_back(double(mix[2 * i]) / kLsb);
            out.right.push_back(double(mix[2 * i + 1]) / kLsb);
        }
    }
    return out;
}

Stereo toStereo(const std::vector<int16_t>& pcm) {
    Stereo s;
    s.left.resize(pcm.size() / 2);
    s.right.resize(pcm.size() / 2);
    for (size_t i = 0; i < s.left.size(); ++i) {
        s.left[i] = pcm[2 * i];
        s.right[i] = pcm[2 * i + 1];
    }
    return s;
}

EffectRun ourEffect(Effect effect) {
    if (effect == Effect::Reverb) {
        auto reverb = std::make_shared<tz::Reverb>();
        tz::initReverb(*reverb, kRate, tz::kDefaultReverbLevel);
        return [reverb](const int64_t* bus, int64_t* mix, int32_t n) { tz::runReverb(*reverb, bus, mix, n); };
    }
    auto chorus = std::make_shared<tz::Chorus>();
    tz::initChorus(*chorus, kRate, tz::kDefaultChorusLevel);
    return [chorus](const int64_t* bus, int64_t* mix, int32_t n) { tz::runChorus(*chorus, bus, mix, n); };
}

bool renderOurs(const std::vector<uint8_t>& midi, const tz::Settings& bank, Effect effect, Renders& out) {
    const std::vector<int16_t> dry = renderEngine(midi, bank);
    if (dry.empty()) return false;
    out.dry = toStereo(dry);
    out.wet = effectOutput(dry, ourEffect(effect));
    return true;
}

// --- the songs -----------------------------------------------------------------

// A tick is a millisecond. A controller at the end keeps the last tail in
// the song (FluidSynth stops at the last event).
std::vector<uint8_t> clickSong() {
    tz::test::SmfBuilder smf(0, 1000);
    tz::test::SmfTrack& t = smf.track();
    t.tempo(0, 1000000).controller(0, 9, 91, 127).controller(0, 9, 93, 0);
    uint32_t gap = 500;
    for (int i = 0; i < kClicks; ++i) {
        t.noteOn(gap, 9, 37, 100).noteOff(100, 9, 37);
        gap = kClickSlotMs - 100;
    }
    t.controller(gap, 9, 11, 127);
    return smf.bytes();
}

std::vector<uint8_t> chorusSong() {
    tz::test::SmfBuilder smf(0, 1000);
    tz::test::SmfTrack& t = smf.track();
    t.tempo(0, 1000000).program(0, 0, kChorusProgram).controller(0, 0, 91, 0).controller(0, 0, 93, 127);
    t.noteOn(500, 0, kChorusNote, 100).noteOff(kChorusHoldMs, 0, kChorusNote).controller(1000, 0, 11, 127);
    return smf.bytes();
}

// --- analysis ------------------------------------------------------------------

void fft(std::vector<std::complex<double>>& a) {
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const double angle = -2.0 * M_PI / double(len);
        for (size_t i = 0; i < n; i += len)
            for (size_t k = 0; k < len / 2; ++k) {
                const std::complex<double> w = std::polar(1.0, angle * double(k));
                const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
    }
}

struct ReverbFigures {
    double t60 = NAN, correlation = NAN, peaks = NAN, wetToDry = NAN;
};

double median(std::vector<double> v) {
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The largest excess, over the third-octave bands from 100 Hz to 8 kHz, of
// the band's highest power above its median, in dB, for one channel of
// kPeakFrames frames from `start`.
constexpr size_t kPeakFrames = 65536;

double bandPeaks(const std::vector<double>& x, size_t start) {
    std::vector<std::complex<double>> a(kPeakFrames);
    for (size_t i = 0; i < kPeakFrames; ++i) a[i] = start + i < x.size() ? x[start + i] : 0.0;
    fft(a);
    double worst = -INFINITY;
    for (int band = 20; band <= 39; ++band) {  // centres 10^(band/10): 100 Hz .. 7.9 kHz
        const double centre = std::pow(10.0, band / 10.0);
        const double low = centre * std::pow(2.0, -1.0 / 6.0), high = centre * std::pow(2.0, 1.0 / 6.0);
        std::vector<double> power;
        for (size_t k = size_t(low * kPeakFrames / kRate) + 1; double(k) * kRate / kPeakFrames < high; ++k)
            power.push_back(std::norm(a[k]));
        const double mid = median(power);
        if (power.size() < 8 || !(mid > 0)) continue;
        worst = std::max(worst, 10 * std::log10(*std::max_element(power.begin(), power.end()) / mid));
    }
    return std::isfinite(worst) ? worst : NAN;
}

// One tail: the wet from the click at `from` to `to`, the dry likewise.
ReverbFigures tailFigures(const Stereo& wet, const Stereo& dry, size_t from, size_t to) {
    ReverbFigures f;
    to = std::min(to, wet.frames());
    if (to <= from + kRate) return f;
    const size_t n = to - from;
    std::vector<double> energy(n);
    for (size_t i = 0; i < n; ++i) energy[i] = wet.left[from + i] * wet.left[from + i] + wet.right[from + i] * wet.right[from + i];
    // The renders' rounding leaves a floor: the mean energy of the last
    // tenth, taken off before the integration, which stops where 10 ms
    // windows no longer stand 10 dB above it.
    const size_t tenth = n / 10;
    const double floor = std::accumulate(energy.end() - tenth, energy.end(), 0.0) / double(tenth);
    const size_t window = kRate / 100;
    size_t end = 0;
    for (size_t w = 0; w + window <= n; w += window) {
        const double e = std::accumulate(energy.begin() + w, energy.begin() + w + window, 0.0) / double(window);
        if (e > 10 * floor) end = w + window;
    }
    if (end == 0) return f;
    std::vector<double> decay(end + 1, 0.0);  // Schroeder: energy from i to the end
    for (size_t i = end; i-- > 0;) decay[i] = decay[i + 1] + std::max(energy[i] - floor, 0.0);
    if (!(decay[0] > 0)) return f;
    size_t first = 0, last = 0;
    for (size_t i = 0; i < end; ++i) {
        const double db = 10 * std::log10(decay[i] / decay[0]);
        if (first == 0 && db <= -5) first = i;
        if (db >= -35) last = i;
    }
    if (first == 0 || last <= first + kRate / 20 || 10 * std::log10(decay[last] / decay[0]) > -30) return f;
    // Least-squares line through the curve in dB.
    double st = 0, sd = 0, stt = 0, std_ = 0;
    for (size_t i = first; i <= last; ++i) {
        const double t = double(i) / kRate, d = 10 * std::log10(decay[i] / decay[0]);
        st += t, sd += d, stt += t * t, std_ += t * d;
    }
    const double m = double(last - first + 1);
    const double slope = (m * std_ - st * sd) / (m * stt - st * st);
    f.t60 = -60.0 / slope;
    double lr = 0, ll = 0, rr = 0;
    for (size_t i = from + first; i <= from + last; ++i) {
        lr += wet.left[i] * wet.right[i];
        ll += wet.left[i] * wet.left[i];
        rr += wet.right[i] * wet.right[i];
    }
    f.correlation = lr / std::sqrt(ll * rr);
    f.peaks = (bandPeaks(wet.left, from + first) + bandPeaks(wet.right, from + first)) / 2;
    double w = 0, d = 0;
    for (size_t i = from; i < to; ++i) {
        w += wet.left[i] * wet.left[i] + wet.right[i] * wet.right[i];
        d += dry.left[i] * dry.left[i] + dry.right[i] * dry.right[i];
    }
    f.wetToDry = 10 * std::log10(w / d);
    return f;
}

// Where each click starts in the dry render (engines differ in the silence
// they keep before a song's first note): its first value of 100 LSB or more,
// the next one at least a second on.
std::vector<size_t> onsets(const Stereo& dry, size_t count) {
    std::vector<size_t> at;
    for (size_t i = 0; i < dry.frames() && at.size() < count; ++i)
        if (std::max(std::abs(dry.left[i]), std::abs(dry.right[i])) >= 100) {
            at.push_back(i);
            i += kRate;
        }
    return at;
}

// Each click's tail, from its onset to the next; the median over the clicks.
ReverbFigures reverbFigures(const Renders& r, size_t count = kClicks) {
    const std::vector<size_t> at = onsets(r.dry, count);
    std::vector<ReverbFigures> clicks;
    for (size_t c = 0; c < at.size(); ++c)
        clicks.push_back(tailFigures(r.wet, r.dry, at[c], c + 1 < at.size() ? at[c + 1] : r.wet.frames()));
    auto pick = [&](double ReverbFigures::*field) {
        std::vector<double> v;
        for (const ReverbFigures& f : clicks) v.push_back(f.*field);
        return median(v);
    };
    return {pick(&ReverbFigures::t60), pick(&ReverbFigures::correlation), pick(&ReverbFigures::peaks),
            pick(&ReverbFigures::wetToDry)};
}

struct ChorusFigures {
    double cents = NAN, rate = NAN, delayMs = NAN, wetToDry = NAN;
};

// The held note's steady part in the chorus output, left and right: its
// spectrum (Hann window, zero-padded to 2^20 values, about 0.04 Hz a bin)
// around the dry note's fundamental. A copy of the note at a delay swept by
// D sin(2 pi f t) is frequency-modulated: its line spreads into sidebands
// f apart over about +-2 pi f D f0. Depth: half the span holding the middle
// 90 % of the energy within a whole tone of f0, in cents. Rate: the spacing
// of the sidebands, 0.2 .. 1.5 Hz, from the spectrum's autocorrelation.
// (Copies swept at equal phase steps repeat their pattern that many times
// faster than their sweep: the rate is that of the output's pattern.)
ChorusFigures chorusFigures(const Renders& r) {
    ChorusFigures c;
    const std::vector<size_t> at = onsets(r.dry, 1);
    if (at.empty()) return c;
    const size_t from = at[0] + kRate, frames = size_t(kChorusHoldMs - 1500) * kRate / 1000;
    if (r.wet.frames() < from + frames) return c;
    constexpr size_t n = size_t(1) << 20;
    const double binHz = double(kRate) / n;
    auto spectrum = [&](const std::vector<double>& x) {
        std::vector<std::complex<double>> a(n);
        for (size_t i = 0; i < frames; ++i) a[i] = x[from + i] * (0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(frames)));
        fft(a);
        return a;
    };
    const std::vector<std::complex<double>> dry = spectrum(r.dry.left);
    const double nominal = 440.0 * std::pow(2.0, (kChorusNote - 69) / 12.0);
    size_t f0 = size_t(nominal * 0.9 / binHz);
    for (size_t k = f0; k < size_t(nominal * 1.1 / binHz); ++k)
        if (std::norm(dry[k]) > std::norm(dry[f0])) f0 = k;
    const size_t low = size_t(double(f0) * std::pow(2.0, -2.0 / 12)), high = size_t(double(f0) * std::pow(2.0, 2.0 / 12));
    std::vector<double> power(high - low, 0.0);
    for (const std::vector<double>* side : {&r.wet.left, &r.wet.right}) {
        const std::vector<std::complex<double>> wet = spectrum(*side);
        for (size_t k = low; k < high; ++k) power[k - low] += std::norm(wet[k]);
    }
    const double total = std::accumulate(power.begin(), power.end(), 0.0);
    if (!(total > 0)) return c;
    double sum = 0;
    size_t p5 = 0, p95 = 0;
    for (size_t k = 0; k < power.size(); ++k) {
        sum += power[k];
        if (sum < 0.05 * total) p5 = k + 1;
        if (sum < 0.95 * total) p95 = k + 1;
    }
    c.cents = 1200 * std::log2(double(low + p95) / double(low + p5)) / 2;
    // The autocorrelation of the spectrum over the lags to 6 Hz; a sideband
    // spacing f scores the sum at f, 2f, 3f and 4f, which its halves and
    // doubles do not reach.
    const size_t most = size_t(6.0 / binHz) + 1;
    std::vector<double> correlation(most + 1, 0.0);
    for (size_t lag = 0; lag <= most; ++lag)
        for (size_t k = 0; k + lag < power.size(); ++k) correlation[lag] += power[k] * power[k + lag];
    double best = -INFINITY;
    for (size_t lag = size_t(0.2 / binHz) + 1; 4 * lag <= most && double(lag) * binHz <= 1.5; ++lag) {
        const double score = correlation[lag] + correlation[2 * lag] + correlation[3 * lag] + correlation[4 * lag];
        if (score > best) best = score, c.rate = double(lag) * binHz;
    }
    // The swing in pitch is 2 pi f D of f0: the D of the measured one.
    c.delayMs = (std::pow(2.0, c.cents / 1200.0) - 1) / (2 * M_PI * c.rate) * 1000;
    double w = 0, d = 0;
    for (size_t i = from; i < from + frames; ++i) {
        w += r.wet.left[i] * r.wet.left[i] + r.wet.right[i] * r.wet.right[i];
        d += r.dry.left[i] * r.dry.left[i] + r.dry.right[i] * r.dry.right[i];
    }
    c.wetToDry = 10 * std::log10(w / d);
    return c;
}

// Stereo white noise, independent on each side, decaying by 60 dB in
// `t60` seconds: what a perfectly diffuse tail would measure.
Renders noiseTail(double t60) {
    Renders r;
    const size_t slot = size_t(kClickSlotMs) * kRate / 1000, frames = slot * kClicks + kRate;
    r.dry.left.assign(frames, 0.0);
    r.dry.right.assign(frames, 0.0);
    r.wet = r.dry;
    std::mt19937 rng(5);
    std::normal_distribution<double> gauss;
    for (int c = 0; c < kClicks; ++c) {
        const size_t from = size_t((500 + c * kClickSlotMs) * kRate / 1000);
        r.dry.left[from] = r.dry.right[from] = 10000;
        for (size_t i = 0; i + 100 * kRate / 1000 < slot; ++i) {
            const double a = 1000.0 * std::pow(10.0, -3.0 * double(i) / (t60 * kRate));
            r.wet.left[from + i] = a * gauss(rng);
            r.wet.right[from + i] = a * gauss(rng);
        }
    }
    return r;
}

// Our reverb alone: kImpulses single-frame impulses as the send, each in
// its own slot of silence as the clicks are, at random offsets.
constexpr int kImpulses = 12;

Renders reverbOfImpulses() {
    const size_t slot = size_t(kClickSlotMs) * kRate / 1000;
    std::vector<int16_t> pcm(2 * slot * kImpulses, 0);
    std::mt19937 rng(7);
    for (int c = 0; c < kImpulses; ++c)
        for (int side = 0; side < 2; ++side) pcm[2 * (c * slot + size_t(rng() % 1000)) + side] = 30000;
    Renders r;
    r.dry = toStereo(pcm);
    r.wet = effectOutput(pcm, ourEffect(Effect::Reverb));
    return r;
}

void printReverb(const char* name, const ReverbFigures& f) {
    std::printf("%-28s %8.2f %12.2f %10.1f %10.1f\n", name, f.t60, f.correlation, f.peaks, f.wetToDry);
}

void printChorus(const char* name, const ChorusFigures& c) {
    std::printf("%-28s %10.1f %10.2f %10.2f %10.1f\n", name, c.cents, c.rate, c.delayMs, c.wetToDry);
}

// --- speed ---------------------------------------------------------------------

// An effect over `seconds` of full-scale noise in chunks of 1024 frames:
// multiples of real time, and a hash of the output.
double effectSpeed(Effect effect, double seconds, uint64_t& hash) {
    constexpr int32_t kChunk = 1024;
    std::vector<std::vector<int64_t>> buses(8, std::vector<int64_t>(2 * kChunk));
    std::mt19937 rng(3);
    for (auto& bus : buses)
        for (int64_t& v : bus) v = int64_t(int16_t(rng())) * 8192;
    const int chunks = int(seconds * kRate / kChunk);
    std::vector<int64_t> mix(2 * kChunk, 0);
    const EffectRun run = ourEffect(effect);
    hash = 0xcbf29ce484222325ull;
    // Untimed: the output's hash.
    const EffectRun check = ourEffect(effect);
    for (int c = 0; c < chunks / 8; ++c) {
        std::fill(mix.begin(), mix.end(), 0);
        check(buses[c % buses.size()].data(), mix.data(), kChunk);
        for (int64_t v : mix) hash = (hash ^ uint64_t(v)) * 0x100000001b3ull;
    }
    const double start = threadSeconds();
    for (int c = 0; c < chunks; ++c) run(buses[c % buses.size()].data(), mix.data(), kChunk);
    const double spent = threadSeconds() - start;
    return double(chunks) * kChunk / kRate / std::max(spent, 1e-9);
}

void printSpeed(double seconds, const std::vector<std::string>& songs, const tz::Settings& bank) {
    std::printf("\n== Speed (thread CPU time; stereo 44.1 kHz in chunks of 1024 frames)\n");
    std::printf("%-18s %16s %16s\n", "path", "reverb x real", "chorus x real");
    uint64_t reference[2] = {0, 0};
    bool same = true;
    for (tz::SimdPath path : {tz::SimdPath::Plain, tz::SimdPath::Baseline, tz::SimdPath::Avx2}) {
        if (!tz::forceSimdPath(path)) continue;
        uint64_t hashes[2];
        const double reverb = effectSpeed(Effect::Reverb, seconds, hashes[0]);
        const double chorus = effectSpeed(Effect::Chorus, seconds, hashes[1]);
        std::printf("%-18s %16.0f %16.0f\n", tz::simdPathName(path), reverb, chorus);
        if (path == tz::SimdPath::Plain) std::copy(hashes, hashes + 2, reference);
        same = same && hashes[0] == reference[0] && hashes[1] == reference[1];
    }
    std::printf("output: %s on every path\n", same ? "the same bytes" : "DIFFERENT BYTES");
    if (songs.empty()) return;

    // The songs: the engine's time to render them and the reverb's over its
    // renders as a full send, on the widest path.
    tz::forceSimdPath(tz::simdPathAvailable(tz::SimdPath::Avx2) ? tz::SimdPath::Avx2 : tz::SimdPath::Baseline);
    double engine = 0, reverb = 0, music = 0;
    for (const std::string& path : songs) {
        std::vector<uint8_t> midi;
        if (!tz::readWholeFile(path, midi, size_t(1) << 26)) continue;
        double spent = 0;
        const std::vector<int16_t> pcm = renderEngine(midi, bank, &spent);
        engine += spent;
        music += double(pcm.size()) / 2 / kRate;
        // The whole song through the reverb in chunks, less the same loop
        // filling the bus alone.
        const size_t frames = pcm.size() / 2;
        std::vector<int64_t> bus(2048), mix(2048, 0);
        auto pass = [&](bool withReverb) {
            const EffectRun run = ourEffect(Effect::Reverb);
            const double start = threadSeconds();
            for (size_t at = 0; at < frames; at += 1024) {
                const int32_t n = int32_t(std::min<size_t>(1024, frames - at));
                for (int32_t i = 0; i < 2 * n; ++i) bus[i] = int64_t(pcm[2 * at + i]) * 8192;
                if (withReverb) run(bus.data(), mix.data(), n);
            }
            return threadSeconds() - start;
        };
        const double filling = pass(false);
        reverb += std::max(pass(true) - filling, 0.0);
    }
    std::printf("\n%zu songs, %.0f s of music, %s: the engine renders at %.0fx real time, the reverb over it runs "
                "at %.0fx; the reverb would be %.1f %% of a render at the engine's speed\n",
                songs.size(), music, tz::simdPathName(tz::activeSimdPath()), music / engine, music / reverb,
                100 * reverb / (engine + reverb));
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--bank") o.bank = value();
        else if (a == "--sf2") o.sf2 = value();
        else if (a == "--spessa") o.spessa = value();
        else if (a == "--no-fluid") o.fluid = false;
        else if (a == "--speed-seconds") o.speedSeconds = std::atof(value().c_str());
        else if (a == "--songs") {
            while (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0) o.songs.push_back(argv[++i]);
        } else {
            std::fprintf(stderr, "effects_report: unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    if (o.bank.empty()) {
        std::fprintf(stderr, "usage: effects_report --bank FILE.dls [--sf2 FILE.sf2] [--spessa render.mjs] "
                             "[--no-fluid] [--speed-seconds S] [--songs FILE.mid ...]\n");
        return 2;
    }
    const tz::Settings bank = tz::test::bankSettings(o.bank);
    o.tmp = fs::temp_directory_path() / ("effects_report_" + std::to_string(::getpid()));
    fs::create_directories(o.tmp);

    std::printf("== Reverb on the click song (median of %d clicks)\n", kClicks);
    std::printf("%-28s %8s %12s %10s %10s\n", "", "T60 s", "L/R corr.", "peaks dB", "wet/dry dB");
    printReverb("white noise, T60 1.50 s", reverbFigures(noiseTail(1.5)));
    const fs::path clicks = o.tmp / "clicks.mid", held = o.tmp / "held.mid";
    const std::vector<uint8_t> clickBytes = clickSong(), heldBytes = chorusSong();
    tz::test::writeFileBytes(clicks, clickBytes);
    tz::test::writeFileBytes(held, heldBytes);
    Renders r;
    char name[64];
    std::snprintf(name, sizeof name, "tz_midi (level %.2f)", double(tz::kDefaultReverbLevel));
    ReverbFigures ours, fluidFigures;
    if (renderOurs(clickBytes, bank, Effect::Reverb, r)) printReverb(name, ours = reverbFigures(r));
    printReverb("  the same on impulses", reverbFigures(reverbOfImpulses(), kImpulses));
    const bool fluid = o.fluid && !o.sf2.empty(), spessa = !o.spessa.empty() && !o.sf2.empty();
    if (fluid) {
        if (renderFluid(o, clicks, Effect::Reverb, r))
            printReverb("FluidSynth", fluidFigures = reverbFigures(r));
        else
            std::printf("FluidSynth: could not render\n");
    }
    if (spessa) {
        if (renderSpessa(o, clicks, Effect::Reverb, r))
            printReverb("SpessaSynth", reverbFigures(r));
        else
            std::printf("SpessaSynth: could not render\n");
    }

    auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
    std::printf("targets for tz_midi: T60 0.9 .. 2.1 s %s; L/R correlation <= 0.3 %s; peaks no more than "
                "FluidSynth's %s\n",
                verdict(ours.t60 >= 0.9 && ours.t60 <= 2.1), verdict(std::abs(ours.correlation) <= 0.3),
                fluid ? verdict(ours.peaks <= fluidFigures.peaks) : "(no FluidSynth)");

    std::printf("\n== Chorus on a held note (program %d, note %d)\n", kChorusProgram, kChorusNote);
    std::printf("%-28s %10s %10s %10s %10s\n", "", "cents", "rate Hz", "delay ms", "wet/dry dB");
    std::snprintf(name, sizeof name, "tz_midi (level %.2f)", double(tz::kDefaultChorusLevel));
    if (renderOurs(heldBytes, bank, Effect::Chorus, r)) printChorus(name, chorusFigures(r));
    if (fluid) {
        if (renderFluid(o, held, Effect::Chorus, r))
            printChorus("FluidSynth", chorusFigures(r));
        else
            std::printf("FluidSynth: could not render\n");
    }
    if (spessa) {
        if (renderSpessa(o, held, Effect::Chorus, r))
            printChorus("SpessaSynth", chorusFigures(r));
        else
            std::printf("SpessaSynth: could not render\n");
    }

    printSpeed(o.speedSeconds, o.songs, bank);
    fs::remove_all(o.tmp);
    return 0;
}

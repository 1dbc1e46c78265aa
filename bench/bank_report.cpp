// Bank report: how a bank made by `tzmidi bank` sounds next to FluidSynth
// playing the SoundFont it was made from.
//
//   bank_report --sf2 FILE.sf2 --bank FILE.dls --tzmidi PATH [--out TABLE.txt]
//               [--dense] [--song FILE.mid ...] [--compare FILE.mid ...]
//
// Every General-MIDI program is played as one middle-C note held 1 s, every
// General-MIDI drum note likewise on channel 10, each in its own 8 s slot, by
// tzmidi (through the plug-in) and by FluidSynth with reverb and chorus off.
// Per note it prints the pitch of tzmidi's note against FluidSynth's in cents,
// the level of each against its own median over all notes, the difference of
// those levels, and the time until the note has fallen 60 dB below its peak.
// Songs named with --song (and with --dense a generated song in which fifteen
// instruments and the drums play at once at ordinary levels) are rendered by
// tzmidi and their clipped samples and peak counted; songs named with
// --compare are also rendered by FluidSynth and the two loudness envelopes
// correlated. The tables and a summary go to stdout, the tables also to --out.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/byte_reader.h"
#include "platform/input_stream.h"
#include "platform/riff_chunks.h"
#include "tests/support/files.h"
#include "tests/support/smf_builder.h"
#include "soundfont/sf2_reader.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRate = 44100;
constexpr int kSlotMs = 8000;
constexpr int kHoldMs = 1000;
constexpr int kVelocity = 100;
constexpr int kFirstDrum = 35;
constexpr int kLastDrum = 81;
// Pitch is only trusted where the two spectra match this well.
constexpr double kPitchConfidence = 0.5;

const char* const kDrumNames[] = {
    "Acoustic Bass Drum", "Bass Drum 1",    "Side Stick",     "Acoustic Snare", "Hand Clap",     "Electric Snare",
    "Low Floor Tom",      "Closed Hi-Hat",  "High Floor Tom", "Pedal Hi-Hat",   "Low Tom",       "Open Hi-Hat",
    "Low-Mid Tom",        "Hi-Mid Tom",     "Crash Cymbal 1", "High Tom",       "Ride Cymbal 1", "Chinese Cymbal",
    "Ride Bell",          "Tambourine",     "Splash Cymbal",  "Cowbell",        "Crash Cymbal 2", "Vibraslap",
    "Ride Cymbal 2",      "Hi Bongo",       "Low Bongo",      "Mute Hi Conga",  "Open Hi Conga", "Low Conga",
    "High Timbale",       "Low Timbale",    "High Agogo",     "Low Agogo",      "Cabasa",        "Maracas",
    "Short Whistle",      "Long Whistle",   "Short Guiro",    "Long Guiro",     "Claves",        "Hi Wood Block",
    "Low Wood Block",     "Mute Cuica",     "Open Cuica",     "Mute Triangle",  "Open Triangle"};
static_assert(std::size(kDrumNames) == kLastDrum - kFirstDrum + 1);

struct Stereo {
    std::vector<int16_t> pcm;  // interleaved left, right
    size_t frames() const { return pcm.size() / 2; }
};

// A 16-bit stereo WAV file at kRate, whatever chunks it holds.
bool readWav(const fs::path& path, Stereo& out) {
    // Renders here last minutes, not hours.
    constexpr size_t kMaxBytes = size_t(1) << 30;
    std::vector<uint8_t> b;
    if (!tz::readWholeFile(path.string(), b, kMaxBytes)) return false;
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
            out.pcm.resize(chunk.data.size() / 2);
            for (int16_t& v : out.pcm) body.i16le(v);
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

struct Renderers {
    std::string tzmidi, bank, sf2;

    bool tz(const fs::path& midi, const fs::path& wav, Stereo& out) const {
        std::string cmd = quoted(tzmidi) + " render " + quoted(midi) + " -o " + quoted(wav) + " --bank " +
                          quoted(bank) + " --quiet";
        if (std::system(cmd.c_str()) != 0 || !readWav(wav, out)) {
            std::fprintf(stderr, "bank_report: tzmidi could not render %s\n", midi.c_str());
            return false;
        }
        fs::remove(wav);
        return true;
    }
    // Single notes with as many voices as the engine has. Songs with
    // FluidSynth's own polyphony: once a song has needed more voices than it
    // has, FluidSynth 2.3 never ends the file (it keeps waiting for voices it
    // has already taken).
    bool fluid(const fs::path& midi, const fs::path& wav, Stereo& out, bool song = false) const {
        std::string cmd = "timeout 1200 fluidsynth -ni -F " + quoted(wav) + " -r 44100 -R 0 -C 0 " +
                          (song ? "" : "-o synth.polyphony=32 ") + quoted(sf2) + " " + quoted(midi) +
                          " >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0 || !readWav(wav, out)) {
            std::fprintf(stderr, "bank_report: FluidSynth could not render %s\n", midi.c_str());
            return false;
        }
        fs::remove(wav);
        return true;
    }
};

// One note per slot: a program change (melodic) and the note held kHoldMs,
// for `count` programs or drum notes from `first`. A tick is a millisecond.
std::vector<uint8_t> slotSong(bool drums, int first, int count) {
    tz::test::SmfBuilder smf(0, 1000);
    tz::test::SmfTrack& t = smf.track();
    t.tempo(0, 1000000);
    uint32_t gap = 0;
    for (int i = first; i < first + count; ++i) {
        int channel = drums ? 9 : 0;
        int note = drums ? i : 60;
        if (!drums) {
            t.program(gap, channel, i);
            gap = 0;
        }
        t.noteOn(gap, channel, note, kVelocity).noteOff(kHoldMs, channel, note);
        gap = kSlotMs - kHoldMs;
    }
    // The last slot's tail is part of the song.
    t.controller(gap, 0, 11, 127);
    return smf.bytes();
}

// Half a minute of tutti at 120 beats per minute: fifteen instruments each
// strike a two-note chord every beat (velocity 80..110, volume and
// expression at their defaults) and hold it for two beats, over kick, snare
// and hi-hat: more notes than the engine has voices, as in a dense song.
std::vector<uint8_t> denseSong() {
    tz::test::SmfBuilder smf(1, 480);
    smf.track().tempo(0, 500000);
    const int programs[15] = {0, 4, 11, 19, 24, 33, 48, 52, 56, 61, 65, 71, 73, 80, 88};
    uint32_t seed = 12;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    for (int channel = 0; channel < 16; ++channel) {
        tz::test::SmfTrack& t = smf.track();
        const bool drums = channel == 9;
        if (!drums) t.program(0, channel, programs[channel < 9 ? channel : channel - 1]);
        std::vector<int> held;
        for (int beat = 0; beat < 60; ++beat) {
            std::vector<int> chord;
            if (drums)
                chord = {beat % 2 ? 38 : 36, 42};
            else
                chord = {48 + int(next() % 24), 0};
            if (!drums) chord[1] = chord[0] + 3 + int(next() % 5);
            for (int note : chord) t.noteOn(0, channel, note, 80 + int(next() % 31));
            t.chordOff(480, channel, held);
            if (held.empty()) t.controller(480, channel, 11, 127);
            held = chord;
        }
        t.chordOff(960, channel, held);
    }
    return smf.bytes();
}

// In-place radix-2 FFT; the size is a power of two.
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
        const std::complex<double> w(std::cos(angle), std::sin(angle));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> wk(1.0);
            for (size_t k = 0; k < len / 2; ++k) {
                std::complex<double> u = a[i + k], v = a[i + k + len / 2] * wk;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                wk *= w;
            }
        }
    }
}

// The spectrum's fine structure on a grid of one cent from kLowHz: magnitude
// in dB (floored 70 dB under its peak) less its mean over a 100-cent
// neighbourhood. A change of playback rate moves it along the grid unchanged.
constexpr double kLowHz = 30.0;
constexpr double kHighHz = 12000.0;
constexpr size_t kFftSize = 65536;

std::vector<double> logSpectrum(const Stereo& s, size_t from, size_t count) {
    std::vector<std::complex<double>> a(kFftSize);
    count = std::min({count, kFftSize, s.frames() > from ? s.frames() - from : 0});
    for (size_t i = 0; i < count; ++i) {
        double w = 0.5 - 0.5 * std::cos(2.0 * M_PI * (double(i) + 0.5) / double(count));
        a[i] = w * (double(s.pcm[2 * (from + i)]) + double(s.pcm[2 * (from + i) + 1]));
    }
    fft(a);
    const double binHz = double(kRate) / double(kFftSize);
    const size_t cents = size_t(1200.0 * std::log2(kHighHz / kLowHz));
    std::vector<double> db(cents);
    double peak = -1e9;
    for (size_t k = 0; k < cents; ++k) {
        double lo = kLowHz * std::exp2((double(k) - 0.5) / 1200.0) / binHz;
        double hi = kLowHz * std::exp2((double(k) + 0.5) / 1200.0) / binHz;
        double mag = 0;
        if (std::floor(hi) <= std::ceil(lo)) {
            double x = kLowHz * std::exp2(double(k) / 1200.0) / binHz;
            size_t i = size_t(x);
            double f = x - double(i);
            mag = (1 - f) * std::abs(a[i]) + f * std::abs(a[i + 1]);
        } else {
            for (size_t i = size_t(std::ceil(lo)); i <= size_t(std::floor(hi)); ++i) mag = std::max(mag, std::abs(a[i]));
        }
        db[k] = 20.0 * std::log10(mag + 1e-9);
        peak = std::max(peak, db[k]);
    }
    for (double& v : db) v = std::max(v, peak - 70.0);
    std::vector<double> prefix(cents + 1);
    for (size_t k = 0; k < cents; ++k) prefix[k + 1] = prefix[k] + db[k];
    std::vector<double> fine(cents);
    for (size_t k = 0; k < cents; ++k) {
        size_t lo = k >= 50 ? k - 50 : 0, hi = std::min(cents, k + 51);
        fine[k] = db[k] - (prefix[hi] - prefix[lo]) / double(hi - lo);
    }
    return fine;
}

// Pitch of `b` against `a` in cents, and how well the spectra match there.
struct Pitch {
    double cents = 0;
    double confidence = 0;
};

Pitch pitchAgainst(const std::vector<double>& a, const std::vector<double>& b) {
    constexpr int kSearch = 1300;
    const int n = int(a.size());
    std::vector<double> c(2 * kSearch + 1);
    for (int lag = -kSearch; lag <= kSearch; ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (int k = std::max(0, -lag); k < std::min(n, n - lag); ++k) {
            ab += a[size_t(k)] * b[size_t(k + lag)];
            aa += a[size_t(k)] * a[size_t(k)];
            bb += b[size_t(k + lag)] * b[size_t(k + lag)];
        }
        c[size_t(lag + kSearch)] = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
    }
    size_t best = size_t(std::max_element(c.begin(), c.end()) - c.begin());
    // A layer that one synth leaves out (an octave or a fifth away) may
    // match better than the unison; a nearly as good match within a
    // semitone of it is the pitch.
    size_t near = size_t(kSearch - 100);
    for (size_t i = near; i <= size_t(kSearch + 100); ++i)
        if (c[i] > c[near]) near = i;
    if (near > size_t(kSearch - 100) && near < size_t(kSearch + 100) && c[near] >= 0.8 * c[best]) best = near;
    Pitch p;
    p.confidence = c[best];
    double offset = 0;
    if (best > 0 && best + 1 < c.size()) {
        double l = c[best - 1], m = c[best], r = c[best + 1];
        double d = l - 2 * m + r;
        if (d < 0) offset = 0.5 * (l - r) / d;
    }
    p.cents = double(best) - kSearch + offset;
    return p;
}

// Mean power of both channels over frames [from, from + count), in dB.
double levelDb(const Stereo& s, size_t from, size_t count) {
    double sum = 0;
    size_t end = std::min(s.frames(), from + count);
    for (size_t i = from; i < end; ++i) {
        double l = s.pcm[2 * i], r = s.pcm[2 * i + 1];
        sum += 0.5 * (l * l + r * r);
    }
    return 10.0 * std::log10(sum / double(count) + 1e-9);
}

// Time from `from` until the sound has last been within 60 dB of its peak,
// in 10 ms frames, up to `count` frames.
double lengthTo60(const Stereo& s, size_t from, size_t count) {
    constexpr size_t kFrame = kRate / 100;
    std::vector<double> db;
    for (size_t at = from; at + kFrame <= from + count && at + kFrame <= s.frames(); at += kFrame)
        db.push_back(levelDb(s, at, kFrame));
    if (db.empty()) return 0;
    double peak = *std::max_element(db.begin(), db.end());
    size_t last = 0;
    for (size_t i = 0; i < db.size(); ++i)
        if (db[i] >= peak - 60.0) last = i;
    return double(last + 1) * 0.01;
}

struct NoteFigures {
    std::string name;
    Pitch pitch;
    double tzLevel = 0, fsLevel = 0;  // absolute, dB
    double tzLength = 0, fsLength = 0;
    bool tzSilent = false, fsSilent = false;
};

std::vector<NoteFigures> measureSlots(const Stereo& tz, const Stereo& fs, size_t count) {
    std::vector<NoteFigures> notes(count);
    const size_t slot = size_t(kSlotMs) * kRate / 1000;
    const size_t hold = size_t(kHoldMs) * kRate / 1000;
    for (size_t i = 0; i < count; ++i) {
        NoteFigures& n = notes[i];
        size_t from = i * slot;
        n.tzLevel = levelDb(tz, from, hold);
        n.fsLevel = levelDb(fs, from, hold);
        n.tzSilent = n.tzLevel < 0;  // below one step of 16 bits
        n.fsSilent = n.fsLevel < 0;
        // The next note may begin a few frames early in one synth.
        n.tzLength = lengthTo60(tz, from, slot - kRate / 10);
        n.fsLength = lengthTo60(fs, from, slot - kRate / 10);
        if (!n.tzSilent && !n.fsSilent) {
            size_t skip = kRate / 50;
            n.pitch = pitchAgainst(logSpectrum(fs, from + skip, hold - skip), logSpectrum(tz, from + skip, hold - skip));
        }
    }
    return notes;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

struct SongFigures {
    std::string name;
    uint64_t clipped = 0;
    double peakDb = -99;  // tzmidi's peak against full scale
    bool compared = false;
    double tzSeconds = 0, fsSeconds = 0;
    double correlation = 0;      // loudness in dB per 50 ms
    double peakCorrelation = 0;  // amplitude per 10 ms
};

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

// The loudness envelope: level in dB per `windowMs`, floored 60 dB under
// the loudest window, or (`decibels` false) the amplitude per window.
std::vector<double> envelope(const Stereo& s, size_t frames, int windowMs, bool decibels) {
    const size_t window = size_t(kRate) * size_t(windowMs) / 1000;
    std::vector<double> e(frames / window);
    for (size_t w = 0; w < e.size(); ++w) e[w] = levelDb(s, w * window, window);
    if (e.empty()) return e;
    double peak = *std::max_element(e.begin(), e.end());
    for (double& v : e) v = decibels ? std::max(v, peak - 60.0) : std::pow(10.0, v / 20.0);
    return e;
}

// FluidSynth renders on until its last voice has ended, so the envelopes
// are compared over tzmidi's render, which ends with the song.
void compareSongs(const Stereo& tz, const Stereo& fs, SongFigures& s) {
    s.compared = true;
    s.tzSeconds = double(tz.frames()) / kRate;
    s.fsSeconds = double(fs.frames()) / kRate;
    size_t frames = std::min(tz.frames(), fs.frames());
    s.correlation = pearson(envelope(tz, frames, 50, true), envelope(fs, frames, 50, true));
    s.peakCorrelation = pearson(envelope(tz, frames, 10, false), envelope(fs, frames, 10, false));
}

void usage() {
    std::fprintf(stderr,
                 "usage: bank_report --sf2 FILE.sf2 --bank FILE.dls --tzmidi PATH [--out TABLE.txt]\n"
                 "                   [--dense] [--song FILE.mid ...] [--compare FILE.mid ...]\n");
}

struct Options {
    Renderers render;
    std::string outPath;
    std::vector<std::string> songs, compare;
    bool dense = false;
};

// False (after the usage) for a bad command line.
bool parseArguments(int argc, char** argv, Options& o) {
    std::vector<std::string>* list = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--sf2") {
            o.render.sf2 = value();
        } else if (arg == "--bank") {
            o.render.bank = value();
        } else if (arg == "--tzmidi") {
            o.render.tzmidi = value();
        } else if (arg == "--out") {
            o.outPath = value();
        } else if (arg == "--dense") {
            o.dense = true;
        } else if (arg == "--song") {
            list = &o.songs;
        } else if (arg == "--compare") {
            list = &o.compare;
        } else if (list && !arg.empty() && arg[0] != '-') {
            list->push_back(arg);
        } else {
            usage();
            return false;
        }
    }
    if (o.render.sf2.empty() || o.render.bank.empty() || o.render.tzmidi.empty()) {
        usage();
        return false;
    }
    return true;
}

// The names of the SoundFont's bank-0 presets by program, "(none)" where it
// has none.
bool readProgramNames(const std::string& path, std::vector<std::string>& names) {
    tz::Sf2Bank sf2;
    std::string error;
    if (!tz::loadSf2File(path, sf2, error)) {
        std::fprintf(stderr, "bank_report: %s\n", error.c_str());
        return false;
    }
    names.assign(128, "(none)");
    for (const tz::Sf2Preset& p : sf2.presets)
        if (p.bank == 0 && p.program < 128 && names[p.program] == "(none)") names[p.program] = p.name;
    return true;
}

// Every General-MIDI program, then every drum note, through both synths.
bool measureNotes(const Renderers& render, const fs::path& work, const std::vector<std::string>& programNames,
                  std::vector<NoteFigures>& programs, std::vector<NoteFigures>& drums) {
    // A few notes per render keeps the renders small.
    constexpr int kBatch = 16;
    for (bool drum : {false, true}) {
        const int first = drum ? kFirstDrum : 0, end = drum ? kLastDrum + 1 : 128;
        std::vector<NoteFigures>& group = drum ? drums : programs;
        for (int batch = first; batch < end; batch += kBatch) {
            const int count = std::min(kBatch, end - batch);
            fs::path midi = work / "notes.mid";
            if (!tz::test::writeFileBytes(midi, slotSong(drum, batch, count))) return false;
            Stereo tz, fl;
            if (!render.tz(midi, work / "tz.wav", tz) || !render.fluid(midi, work / "fs.wav", fl)) return false;
            std::vector<NoteFigures> notes = measureSlots(tz, fl, size_t(count));
            for (int i = 0; i < count; ++i)
                notes[size_t(i)].name = drum ? kDrumNames[batch + i - kFirstDrum] : programNames[size_t(batch + i)];
            group.insert(group.end(), notes.begin(), notes.end());
        }
    }
    return true;
}

// The report's tables, as printed and written to --out.
class Table {
public:
    template <typename... Args>
    void line(const char* format, Args... args) {
        char text[512];
        std::snprintf(text, sizeof text, format, args...);
        text_ += text;
    }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// What the summary tells of one group of notes (the programs or the drums).
struct Summary {
    int pitched = 0, outOfTune = 0, levelOff = 0, silent = 0;
    std::vector<double> levelDiffs;
};

// One line per note: its pitch and its level against each synth's median
// over every note that both play, and its lengths.
void noteTable(Table& table, const std::vector<NoteFigures>& programs, const std::vector<NoteFigures>& drums,
               Summary sums[2]) {
    std::vector<double> tzLevels, fsLevels;
    for (const auto* group : {&programs, &drums})
        for (const NoteFigures& n : *group)
            if (!n.tzSilent && !n.fsSilent) {
                tzLevels.push_back(n.tzLevel);
                fsLevels.push_back(n.fsLevel);
            }
    const double tzMedian = median(tzLevels), fsMedian = median(fsLevels);

    table.line("%-4s %-22s %8s %5s %7s %7s %7s %7s %7s\n", "note", "name", "cents", "conf", "tz dB", "fs dB", "diff",
               "tz s", "fs s");
    for (int g = 0; g < 2; ++g) {
        const std::vector<NoteFigures>& group = g == 0 ? programs : drums;
        Summary& sum = sums[g];
        table.line("%s", g == 0 ? "-- programs (middle C, held 1 s)\n" : "-- drums (channel 10, held 1 s)\n");
        for (size_t i = 0; i < group.size(); ++i) {
            const NoteFigures& n = group[i];
            int number = g == 0 ? int(i) + 1 : kFirstDrum + int(i);
            if (n.tzSilent || n.fsSilent) {
                ++sum.silent;
                table.line("%-4d %-22.22s %8s %5s %7s %7s %7s %7.2f %7.2f  %s silent\n", number, n.name.c_str(), "-",
                           "-", "-", "-", "-", n.tzLength, n.fsLength, n.tzSilent ? "tzmidi" : "FluidSynth");
                continue;
            }
            double tzRel = n.tzLevel - tzMedian, fsRel = n.fsLevel - fsMedian, diff = tzRel - fsRel;
            sum.levelDiffs.push_back(std::fabs(diff));
            if (std::fabs(diff) > 6.0) ++sum.levelOff;
            bool pitched = n.pitch.confidence >= kPitchConfidence;
            if (pitched && g == 0) {
                ++sum.pitched;
                if (std::fabs(n.pitch.cents) > 10.0) ++sum.outOfTune;
            }
            char cents[16];
            std::snprintf(cents, sizeof cents, pitched ? "%+8.1f" : "(%+6.0f)", n.pitch.cents);
            const bool outOfTune = pitched && g == 0 && std::fabs(n.pitch.cents) > 10.0;
            table.line("%-4d %-22.22s %8s %5.2f %+7.1f %+7.1f %+7.1f %7.2f %7.2f%s\n", number, n.name.c_str(), cents,
                       n.pitch.confidence, tzRel, fsRel, diff, n.tzLength, n.fsLength,
                       std::fabs(diff) > 6.0 ? "  level" : outOfTune ? "  tune" : "");
        }
    }
}

// The songs named, the dense song when asked for and the songs to compare
// (those not named already) through tzmidi; the songs to compare also through
// FluidSynth.
bool measureSongs(const Options& o, const fs::path& work, std::vector<SongFigures>& figures) {
    std::vector<std::string> songs = o.songs;
    if (o.dense) {
        fs::path midi = work / "dense.mid";
        if (!tz::test::writeFileBytes(midi, denseSong())) return false;
        songs.push_back(midi.string());
    }
    for (const std::string& path : o.compare)
        if (std::find(songs.begin(), songs.end(), path) == songs.end()) songs.push_back(path);
    for (const std::string& path : songs) {
        SongFigures s;
        s.name = fs::path(path).filename().string();
        Stereo tz;
        if (!o.render.tz(path, work / "tz.wav", tz)) return false;
        int peak = 0;
        for (int16_t v : tz.pcm) {
            if (v >= 32767 || v <= -32768) ++s.clipped;
            peak = std::max(peak, std::abs(int(v)));
        }
        s.peakDb = 20.0 * std::log10(std::max(peak, 1) / 32767.0);
        if (std::find(o.compare.begin(), o.compare.end(), path) != o.compare.end()) {
            Stereo fl;
            if (!o.render.fluid(path, work / "fs.wav", fl, true)) return false;
            compareSongs(tz, fl, s);
        }
        figures.push_back(s);
    }
    return true;
}

void songTable(Table& table, const std::vector<SongFigures>& songFigures) {
    if (songFigures.empty()) return;
    table.line("%s", "-- songs: clipped samples and peak (tzmidi); loudness correlation (dB per 50 ms, "
                     "amplitude per 10 ms)\n");
    table.line("%-32s %9s %8s %7s %7s %8s %8s\n", "song", "clipped", "peak dB", "corr", "corr10", "tz s", "fs s");
    for (const SongFigures& s : songFigures) {
        if (!s.compared) {
            table.line("%-32.32s %9llu %+8.2f\n", s.name.c_str(), (unsigned long long)s.clipped, s.peakDb);
            continue;
        }
        table.line("%-32.32s %9llu %+8.2f %7.3f %7.3f %8.1f %8.1f\n", s.name.c_str(), (unsigned long long)s.clipped,
                   s.peakDb, s.correlation, s.peakCorrelation, s.tzSeconds, s.fsSeconds);
    }
}

void printSummary(const std::string& sf2, const Summary sums[2], const std::vector<SongFigures>& songFigures) {
    std::printf("== %s\n", fs::path(sf2).filename().c_str());
    std::printf("programs more than 10 cents out of tune: %d of %d pitched\n", sums[0].outOfTune, sums[0].pitched);
    std::printf("programs / drum notes more than 6 dB off: %d / %d\n", sums[0].levelOff, sums[1].levelOff);
    std::printf("median level difference, programs / drums: %.2f / %.2f dB\n", median(sums[0].levelDiffs),
                median(sums[1].levelDiffs));
    std::printf("notes silent in one synth: %d programs, %d drums\n", sums[0].silent, sums[1].silent);
    if (songFigures.empty()) return;
    const SongFigures* clip = &songFigures[0];
    const SongFigures* corr = nullptr;
    for (const SongFigures& s : songFigures) {
        if (s.clipped > clip->clipped) clip = &s;
        if (s.compared && (!corr || s.correlation < corr->correlation)) corr = &s;
    }
    double peak = -99;
    for (const SongFigures& s : songFigures) peak = std::max(peak, s.peakDb);
    std::printf("clipped samples, worst song: %llu (%s); highest peak %+.2f dBFS\n", (unsigned long long)clip->clipped,
                clip->name.c_str(), peak);
    if (corr) {
        double worst10 = 1;
        for (const SongFigures& s : songFigures)
            if (s.compared) worst10 = std::min(worst10, s.peakCorrelation);
        std::printf("loudness correlation, worst song: %.3f (%s); amplitude per 10 ms, worst: %.3f\n",
                    corr->correlation, corr->name.c_str(), worst10);
    }
}

bool writeTable(const std::string& path, const Table& table) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f || std::fputs(table.text().c_str(), f) < 0 || std::fclose(f) != 0) {
        std::fprintf(stderr, "bank_report: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

// The folder the renders are made in, removed when the report is done.
struct WorkFolder {
    fs::path path = fs::temp_directory_path() / ("bank-report-" + std::to_string(::getpid()));
    WorkFolder() { fs::create_directories(path); }
    ~WorkFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parseArguments(argc, argv, o)) return 2;
    std::vector<std::string> programNames;
    if (!readProgramNames(o.render.sf2, programNames)) return 1;
    const WorkFolder work;

    std::vector<NoteFigures> programs, drums;
    if (!measureNotes(o.render, work.path, programNames, programs, drums)) return 1;
    Table table;
    Summary sums[2];
    noteTable(table, programs, drums, sums);

    std::vector<SongFigures> songFigures;
    if (!measureSongs(o, work.path, songFigures)) return 1;
    songTable(table, songFigures);

    std::printf("%s", table.text().c_str());
    printSummary(o.render.sf2, sums, songFigures);
    return o.outPath.empty() || writeTable(o.outPath, table) ? 0 : 1;
}

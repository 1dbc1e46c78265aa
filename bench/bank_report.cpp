// Bank report: how a bank made by `tzmidi bank` sounds in our two sounds
// next to FluidSynth playing the SoundFont it was made from and SpessaSynth
// playing the same bank, reverb and chorus off everywhere.
//
//   bank_report --sf2 FILE.sf2 --bank FILE.dls [--wsmp-bank FILE.dls] [--spessa render.mjs]
//               [--out TABLE.txt] [--figures FILE] [--jobs N]
//               [--dense] [--song FILE.mid ...] [--compare FILE.mid ...]
//
// Every General-MIDI program (as middle C) and every General-MIDI drum note
// (on channel 10) is played by each renderer: once held 1 s at velocity 100
// in an 8 s slot, then as short notes (held 350 ms) at velocity 127, 100,
// 64, 40 and 20, at CC7 100, 64, 50 and 26 and at CC11 100, 64, 50 and 26
// (velocity 127, the other controller at 127), each slot opened by All Sound
// Off so that no note rings into the next. Per note (programs numbered from
// 1, drums by their note) it prints
//   - the level at each velocity, CC7 and CC11 value against velocity 127
//     (the mean power over 50..350 ms of the note), beside the law
//     40 log10(x / 127) dB;
//   - the pitch against FluidSynth's in cents (the long note's spectrum),
//     also with --wsmp-bank, a bank made with --tuning-in-wsmp;
//   - the long note's level against the renderer's median over all notes,
//     less FluidSynth's, and the time until it has fallen 60 dB below its
//     peak.
// Songs named with --song (and with --dense a generated song in which fifteen
// instruments and the drums play at once at ordinary levels) are rendered in
// both sounds and their clipped samples and peak counted; songs named with
// --compare are also rendered by FluidSynth and the loudness envelopes
// correlated. The tables go to stdout and --out, a summary to stdout, and
// the summary's figures as `name value` lines to --figures.
#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "bench/reference_renders.h"
#include "tests/support/files.h"
#include "tests/support/signal_analysis.h"
#include "tests/support/smf_builder.h"
#include "soundfont/sf2_reader.h"

namespace fs = std::filesystem;
using tz::test::StereoPcm;
using tz::test::kPcmRate;
using tz::test::levelDb;
using tz::test::median;

namespace {

// --- the note songs ------------------------------------------------------------

constexpr int kOnsetMs = 20;  // from a slot's start (All Sound Off, controllers) to its note
constexpr int kLongSlotMs = 8000;
constexpr int kHoldMs = 1000;
constexpr int kVelocity = 100;
constexpr int kLevelSlotMs = 450;
constexpr int kLevelHoldMs = 350;
constexpr int kLevelFromMs = 50;  // the level is measured from here in the note to its end
constexpr int kPitchSlotMs = 1200;
constexpr int kFirstDrum = 35;
constexpr int kLastDrum = 81;
// Pitch is only trusted where the two spectra match this well.
constexpr double kPitchConfidence = 0.5;
// The law is measured on notes whose velocity-127 level stands this far
// above one LSB, so that the quietest point (-32 dB) is still well above
// the rounding.
constexpr double kLawMinimumDb = 45.0;

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

// The controls whose law is measured, each at four values; slot 0 is the
// reference (velocity, CC7 and CC11 at 127), slot 1 + 4c + j control c at
// its value j.
enum Control { kVelocityControl, kVolumeControl, kExpressionControl, kControlCount };
constexpr int kPointsPerControl = 4;
constexpr int kLevelSlots = 1 + kControlCount * kPointsPerControl;
const char* const kControlNames[kControlCount] = {"velocity", "CC7", "CC11"};
const char* const kControlKeys[kControlCount] = {"velocity", "cc7", "cc11"};
constexpr int kControlValues[kControlCount][kPointsPerControl] = {{20, 40, 64, 100}, {26, 50, 64, 100}, {26, 50, 64, 100}};
constexpr int kInstrumentMs = kLongSlotMs + kLevelSlots * kLevelSlotMs;

struct SlotValues {
    int velocity = 127, volume = 127, expression = 127;
};

SlotValues levelSlot(int slot) {
    SlotValues v;
    if (slot == 0) return v;
    const int c = (slot - 1) / kPointsPerControl, value = kControlValues[c][(slot - 1) % kPointsPerControl];
    (c == kVelocityControl ? v.velocity : c == kVolumeControl ? v.volume : v.expression) = value;
    return v;
}

// The law's level at a value, dB against 127.
double lawDb(int value) { return 40.0 * std::log10(double(value) / 127.0); }

// Writes the slots of a song, a tick being a millisecond: each slot opens
// with All Sound Off, the program (when given) and CC7 and CC11, and its
// note starts kOnsetMs later.
class SlotWriter {
public:
    explicit SlotWriter(bool drums) : smf_(0, 1000), track_(smf_.track()), channel_(drums ? 9 : 0) {
        track_.tempo(0, 1000000);
    }
    void slot(int program, int note, SlotValues v, int holdMs, int slotMs) {
        track_.controller(gap_, channel_, 120, 0);
        if (program >= 0) track_.program(0, channel_, program);
        track_.controller(0, channel_, 7, v.volume).controller(0, channel_, 11, v.expression);
        track_.noteOn(kOnsetMs, channel_, note, v.velocity).noteOff(uint32_t(holdMs), channel_, note);
        gap_ = uint32_t(slotMs - kOnsetMs - holdMs);
    }
    // The last slot's tail is part of the song.
    std::vector<uint8_t> bytes() {
        track_.controller(gap_, channel_, 120, 0);
        return smf_.bytes();
    }

private:
    tz::test::SmfBuilder smf_;
    tz::test::SmfTrack& track_;
    int channel_;
    uint32_t gap_ = 0;
};

// `count` programs or drum notes from `first`, each as a long slot and the
// level slots.
std::vector<uint8_t> noteSong(bool drums, int first, int count) {
    SlotWriter w(drums);
    for (int i = first; i < first + count; ++i) {
        w.slot(drums ? -1 : i, drums ? i : 60, {kVelocity, 127, 127}, kHoldMs, kLongSlotMs);
        for (int s = 0; s < kLevelSlots; ++s) w.slot(-1, drums ? i : 60, levelSlot(s), kLevelHoldMs, kLevelSlotMs);
    }
    return w.bytes();
}

// The long notes alone, for the bank with its tuning in the wave samples.
std::vector<uint8_t> pitchSong(int first, int count) {
    SlotWriter w(false);
    for (int i = first; i < first + count; ++i) w.slot(i, 60, {kVelocity, 127, 127}, kHoldMs, kPitchSlotMs);
    return w.bytes();
}

size_t msFrames(int64_t ms) { return size_t(ms * kPcmRate / 1000); }

// --- pitch -----------------------------------------------------------------------

// The spectrum's fine structure on a grid of one cent from kLowHz: magnitude
// in dB (floored 70 dB under its peak) less its mean over a 100-cent
// neighbourhood. A change of playback rate moves it along the grid unchanged.
constexpr double kLowHz = 30.0;
constexpr double kHighHz = 12000.0;
constexpr size_t kFftSize = 65536;

std::vector<double> logSpectrum(const StereoPcm& s, size_t from, size_t count) {
    std::vector<std::complex<double>> a(kFftSize);
    count = std::min({count, kFftSize, s.frames() > from ? s.frames() - from : 0});
    for (size_t i = 0; i < count; ++i) {
        double w = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (double(i) + 0.5) / double(count));
        a[i] = w * (double(s.samples[2 * (from + i)]) + double(s.samples[2 * (from + i) + 1]));
    }
    tz::test::fft(a);
    const double binHz = double(kPcmRate) / double(kFftSize);
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
    bool measured = false;
    bool pitched() const { return measured && confidence >= kPitchConfidence; }
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
    p.measured = true;
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

// The spectrum of the long note of a slot starting at `slotStart`.
std::vector<double> noteSpectrum(const StereoPcm& s, size_t slotStart) {
    const size_t skip = msFrames(kOnsetMs + 20);
    return logSpectrum(s, slotStart + skip, msFrames(kHoldMs - 20));
}

// --- the renderers ---------------------------------------------------------------

enum Renderer { kClassic, kStandard, kFluid, kSpessa, kRendererCount };
const char* const kRendererNames[kRendererCount] = {"classic", "standard", "FluidSynth", "SpessaSynth"};
const char* const kRendererKeys[kRendererCount] = {"classic", "standard", "fluidsynth", "spessasynth"};
// The renderers measured against FluidSynth.
constexpr Renderer kAgainstFluid[] = {kClassic, kStandard, kSpessa};

struct Options {
    std::string sf2, bank, wsmpBank, spessa, outPath, figuresPath;
    std::vector<std::string> songs, compare;
    bool dense = false;
    int jobs = 2;
    bool has(Renderer r) const { return r != kSpessa || !spessa.empty(); }
};

// The song through one renderer with the bank given (ours and SpessaSynth;
// FluidSynth always plays the SoundFont).
bool render(const Options& o, Renderer r, const std::string& bank, const std::vector<uint8_t>& midi,
            const fs::path& work, const std::string& name, StereoPcm& out) {
    if (r == kClassic || r == kStandard) {
        tz::bench::OurRender ours;
        const tz::SoundProfile sound = r == kClassic ? tz::SoundProfile::Classic : tz::SoundProfile::Standard;
        if (!tz::bench::renderOurs(midi, tz::bench::ourSettings(bank, sound), ours)) return false;
        out = std::move(ours.pcm);
        return true;
    }
    const fs::path file = work / (name + ".mid");
    if (!tz::test::writeFileBytes(file, midi)) return false;
    const fs::path wav = work / (name + ".wav");
    if (r == kFluid) return tz::bench::renderFluid(o.sf2, file.string(), wav, "-R 0 -C 0 -o synth.polyphony=32", out);
    return tz::bench::renderSpessa(o.spessa, bank, file.string(), wav, "--no-reverb --no-chorus --tail 0.5", out);
}

// --- the notes -------------------------------------------------------------------

struct RendererNote {
    bool rendered = false, silent = false;
    double level[kLevelSlots] = {};  // dB
    double longLevel = 0;            // dB, the long note
    double length = 0;               // s, to -60 dB
    Pitch pitch, wsmpPitch;          // against FluidSynth
};

struct NoteFigures {
    std::string name;
    bool drum = false;
    RendererNote by[kRendererCount];
    double relative(Renderer r, int slot) const { return by[r].level[slot] - by[r].level[0]; }
    bool lawMeasured(Renderer r) const { return by[r].rendered && by[r].level[0] >= kLawMinimumDb; }
    bool bothSound(Renderer r) const {
        return by[r].rendered && !by[r].silent && by[kFluid].rendered && !by[kFluid].silent;
    }
};

void measureNote(const StereoPcm& s, size_t start, RendererNote& n) {
    n.rendered = true;
    const size_t on = start + msFrames(kOnsetMs);
    n.longLevel = levelDb(s, on, msFrames(kHoldMs));
    n.silent = n.longLevel < 0;  // below one step of 16 bits
    // The next slot may begin a few frames early in one synth.
    n.length = tz::test::soundingSeconds(s, on, msFrames(kLongSlotMs - kOnsetMs - 100), 60.0);
    for (int slot = 0; slot < kLevelSlots; ++slot) {
        const size_t from = start + msFrames(kLongSlotMs + slot * kLevelSlotMs + kOnsetMs + kLevelFromMs);
        n.level[slot] = levelDb(s, from, msFrames(kLevelHoldMs - kLevelFromMs));
    }
}

// Every General-MIDI program, then every drum note, through every renderer;
// the programs' long notes also with the bank with tuning in the wave
// samples.
bool measureNotes(const Options& o, const fs::path& work, const std::vector<std::string>& programNames,
                  std::vector<NoteFigures>& notes) {
    // A few notes per render keeps the renders small.
    constexpr int kBatch = 16;
    for (bool drum : {false, true}) {
        const int first = drum ? kFirstDrum : 0, end = drum ? kLastDrum + 1 : 128;
        for (int batch = first; batch < end; batch += kBatch) {
            const int count = std::min(kBatch, end - batch);
            const std::vector<uint8_t> song = noteSong(drum, batch, count);
            const std::vector<uint8_t> pitches = drum ? std::vector<uint8_t>() : pitchSong(batch, count);
            StereoPcm pcm[kRendererCount], wsmp[kRendererCount];
            std::vector<std::function<bool()>> tasks;
            for (int r = 0; r < kRendererCount; ++r) {
                if (!o.has(Renderer(r))) continue;
                tasks.push_back([&, r] { return render(o, Renderer(r), o.bank, song, work, kRendererKeys[r], pcm[r]); });
                if (!pitches.empty() && !o.wsmpBank.empty() && r != kFluid)
                    tasks.push_back([&, r] {
                        return render(o, Renderer(r), o.wsmpBank, pitches, work,
                                      std::string(kRendererKeys[r]) + "-wsmp", wsmp[r]);
                    });
            }
            if (!tz::bench::runTasks(tasks, o.jobs)) return false;
            // The measures, a note per task.
            std::vector<NoteFigures> measured(static_cast<size_t>(count));
            tasks.clear();
            for (int i = 0; i < count; ++i)
                tasks.push_back([&, i] {
                    NoteFigures& n = measured[size_t(i)];
                    n.drum = drum;
                    n.name = drum ? kDrumNames[batch + i - kFirstDrum] : programNames[size_t(batch + i)];
                    const size_t start = msFrames(int64_t(i) * kInstrumentMs);
                    for (int r = 0; r < kRendererCount; ++r)
                        if (o.has(Renderer(r))) measureNote(pcm[r], start, n.by[r]);
                    if (n.by[kFluid].silent) return true;
                    const std::vector<double> reference = noteSpectrum(pcm[kFluid], start);
                    for (Renderer r : kAgainstFluid) {
                        if (!n.by[r].rendered) continue;
                        if (!n.by[r].silent) n.by[r].pitch = pitchAgainst(reference, noteSpectrum(pcm[r], start));
                        const size_t at = msFrames(int64_t(i) * kPitchSlotMs);
                        if (!wsmp[r].samples.empty() && levelDb(wsmp[r], at + msFrames(kOnsetMs), msFrames(kHoldMs)) >= 0)
                            n.by[r].wsmpPitch = pitchAgainst(reference, noteSpectrum(wsmp[r], at));
                    }
                    return true;
                });
            tz::bench::runTasks(tasks, o.jobs);
            notes.insert(notes.end(), measured.begin(), measured.end());
            std::fprintf(stderr, "\rbank_report: %zu of %d notes", notes.size(), 128 + kLastDrum - kFirstDrum + 1);
        }
    }
    std::fprintf(stderr, "\n");
    return true;
}

// --- tables ----------------------------------------------------------------------

// The report's tables, as printed and written to --out.
class Table {
public:
    template <typename... Args>
    void line(const char* format, Args... args) {
        char text[1024];
        std::snprintf(text, sizeof text, format, args...);
        text_ += text;
    }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

int noteNumber(const std::vector<NoteFigures>& notes, size_t i) {
    return notes[i].drum ? kFirstDrum + int(i) - 128 : int(i) + 1;
}

// One table per control: each renderer's level at the four values against
// its level at 127.
void levelTables(Table& table, const Options& o, const std::vector<NoteFigures>& notes) {
    for (int c = 0; c < kControlCount; ++c) {
        table.line("-- %s: level against %s 127, dB; the law 40 log10(x/127): ", kControlNames[c], kControlNames[c]);
        for (int j = 0; j < kPointsPerControl; ++j)
            table.line(" %d: %+.1f", kControlValues[c][j], lawDb(kControlValues[c][j]));
        table.line("\n%-4s %-22s", "note", "name");
        for (int r = 0; r < kRendererCount; ++r) {
            char head[32];
            std::snprintf(head, sizeof head, "%s %d/%d/%d/%d", kRendererKeys[r], kControlValues[c][0],
                          kControlValues[c][1], kControlValues[c][2], kControlValues[c][3]);
            table.line(" | %-23.23s", head);
        }
        table.line("\n");
        for (size_t i = 0; i < notes.size(); ++i) {
            const NoteFigures& n = notes[i];
            if (i == 0 || n.drum != notes[i - 1].drum) table.line("%s", n.drum ? "-- drums\n" : "-- programs\n");
            table.line("%-4d %-22.22s", noteNumber(notes, i), n.name.c_str());
            for (int r = 0; r < kRendererCount; ++r) {
                table.line(" |");
                for (int j = 0; j < kPointsPerControl; ++j) {
                    if (!n.lawMeasured(Renderer(r)) || !o.has(Renderer(r)))
                        table.line(" %5s", "-");
                    else
                        table.line(" %+5.1f", n.relative(Renderer(r), 1 + c * kPointsPerControl + j));
                }
                table.line("   ");
            }
            table.line("\n");
        }
    }
}

// What the summary tells of the notes.
struct LawFigures {
    std::vector<double> errors[kControlCount][kPointsPerControl];  // per note measured
    double worst = 0;
    std::string worstAt;
    int measured = 0;
    double medianWorst(int c) const {
        double w = 0;
        for (int j = 0; j < kPointsPerControl; ++j) w = std::max(w, std::fabs(median(errors[c][j])));
        return w;
    }
};

struct RendererSummary {
    LawFigures law;
    int pitched = 0, outOfTune = 0, wsmpPitched = 0, wsmpOutOfTune = 0;
    int lengths = 0, lengthsOutside = 0;
    int levelOff[2] = {0, 0};  // programs, drums
    std::vector<double> levelDiffs[2];
    int silent = 0;
};

bool lengthOutside(double ours, double fluid) { return ours < 0.67 * fluid || ours > 1.5 * fluid; }

// The pitch, length and balance of each long note, and the summary's counts.
void noteTable(Table& table, const std::vector<NoteFigures>& notes, RendererSummary sums[]) {
    // Each renderer's median level over the notes that it and FluidSynth play.
    double medians[kRendererCount] = {};
    for (int r = 0; r < kRendererCount; ++r) {
        std::vector<double> levels;
        for (const NoteFigures& n : notes)
            if (n.bothSound(Renderer(r))) levels.push_back(n.by[r].longLevel);
        medians[r] = median(levels);
    }
    table.line("-- long notes (velocity %d, held 1 s): pitch against FluidSynth in cents (bracketed where the "
               "spectra match too little), also with the bank with tuning in wsmp; length to -60 dB in s; level "
               "against the renderer's median less FluidSynth's, dB\n",
               kVelocity);
    table.line("%-4s %-22s | %7s %7s %7s | %7s %7s %7s | %7s %7s %7s %7s | %6s %6s %6s\n", "note", "name", "classic",
               "std", "spessa", "w:cl", "w:std", "w:sp", "classic", "std", "fluid", "spessa", "cl dB", "std dB",
               "sp dB");
    for (size_t i = 0; i < notes.size(); ++i) {
        const NoteFigures& n = notes[i];
        if (i == 0 || n.drum != notes[i - 1].drum) table.line("%s", n.drum ? "-- drums\n" : "-- programs\n");
        table.line("%-4d %-22.22s |", noteNumber(notes, i), n.name.c_str());
        auto cents = [&](const Pitch& p) {
            if (!p.measured)
                table.line(" %7s", "-");
            else if (p.pitched())
                table.line(" %+7.1f", p.cents);
            else
                table.line(" (%+5.0f)", p.cents);
        };
        for (Renderer r : kAgainstFluid) cents(n.by[r].pitch);
        table.line(" |");
        for (Renderer r : kAgainstFluid) cents(n.by[r].wsmpPitch);
        table.line(" |");
        for (int r = 0; r < kRendererCount; ++r) {
            if (n.by[r].rendered)
                table.line(" %7.2f", n.by[r].length);
            else
                table.line(" %7s", "-");
        }
        table.line(" |");
        std::string flags;
        for (Renderer r : kAgainstFluid) {
            if (!n.bothSound(r)) {
                table.line(" %6s", n.by[r].rendered && n.by[r].silent ? "silent" : "-");
                continue;
            }
            const double diff = (n.by[r].longLevel - medians[r]) - (n.by[kFluid].longLevel - medians[kFluid]);
            table.line(" %+6.1f", diff);
        }
        const RendererNote& s = n.by[kStandard];
        if (s.pitch.pitched() && !n.drum && std::fabs(s.pitch.cents) > 10) flags += "  tune";
        if (s.wsmpPitch.pitched() && std::fabs(s.wsmpPitch.cents) > 10) flags += "  tune-wsmp";
        if (n.bothSound(kStandard) && lengthOutside(s.length, n.by[kFluid].length)) flags += "  length";
        table.line("%s\n", flags.c_str());
    }

    for (Renderer r : {kClassic, kStandard, kFluid, kSpessa}) {
        RendererSummary& sum = sums[r];
        for (size_t i = 0; i < notes.size(); ++i) {
            const NoteFigures& n = notes[i];
            const RendererNote& x = n.by[r];
            if (!x.rendered) continue;
            if (n.lawMeasured(r)) {
                ++sum.law.measured;
                for (int c = 0; c < kControlCount; ++c)
                    for (int j = 0; j < kPointsPerControl; ++j) {
                        const double error = n.relative(r, 1 + c * kPointsPerControl + j) - lawDb(kControlValues[c][j]);
                        sum.law.errors[c][j].push_back(error);
                        if (std::fabs(error) > sum.law.worst) {
                            sum.law.worst = std::fabs(error);
                            char at[96];
                            std::snprintf(at, sizeof at, "%s %d, %s %d", n.drum ? "drum" : "program",
                                          noteNumber(notes, i), kControlNames[c], kControlValues[c][j]);
                            sum.law.worstAt = at;
                        }
                    }
            }
            if (r == kFluid) continue;
            if (!n.bothSound(r)) {
                ++sum.silent;
                continue;
            }
            if (!n.drum && x.pitch.pitched()) {
                ++sum.pitched;
                sum.outOfTune += std::fabs(x.pitch.cents) > 10;
            }
            if (x.wsmpPitch.pitched()) {
                ++sum.wsmpPitched;
                sum.wsmpOutOfTune += std::fabs(x.wsmpPitch.cents) > 10;
            }
            ++sum.lengths;
            sum.lengthsOutside += lengthOutside(x.length, n.by[kFluid].length);
            const double diff = (x.longLevel - medians[r]) - (n.by[kFluid].longLevel - medians[kFluid]);
            sum.levelDiffs[n.drum].push_back(std::fabs(diff));
            sum.levelOff[n.drum] += std::fabs(diff) > 6.0;
        }
    }
}

// --- songs -----------------------------------------------------------------------

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

struct SoundSong {
    uint64_t clipped = 0;
    double peakDb = -99;  // against full scale
    double correlation = 0;      // loudness in dB per 50 ms, against FluidSynth
    double peakCorrelation = 0;  // amplitude per 10 ms
    double seconds = 0;
};

struct SongFigures {
    std::string name;
    SoundSong sound[2];  // classic, standard
    bool compared = false;
    double fsSeconds = 0;
};

// The loudness envelope: level in dB per `windowMs`, floored 60 dB under
// the loudest window, or (`decibels` false) the amplitude per window.
std::vector<double> envelope(const StereoPcm& s, size_t frames, int windowMs, bool decibels) {
    const size_t window = size_t(kPcmRate) * size_t(windowMs) / 1000;
    std::vector<double> e(frames / window);
    for (size_t w = 0; w < e.size(); ++w) e[w] = levelDb(s, w * window, window);
    if (e.empty()) return e;
    double peak = *std::max_element(e.begin(), e.end());
    for (double& v : e) v = decibels ? std::max(v, peak - 60.0) : std::pow(10.0, v / 20.0);
    return e;
}

// The songs named, the dense song when asked for and the songs to compare
// (those not named already) in both sounds; the songs to compare also
// through FluidSynth, whose envelopes are compared over our render.
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
        const std::vector<uint8_t> midi = tz::test::readFileBytes(path);
        const bool compare = std::find(o.compare.begin(), o.compare.end(), path) != o.compare.end();
        StereoPcm pcm[2], fl;
        std::vector<std::function<bool()>> tasks;
        for (int k = 0; k < 2; ++k)
            tasks.push_back([&, k] { return render(o, k ? kStandard : kClassic, o.bank, midi, work, "song", pcm[k]); });
        if (compare)
            tasks.push_back([&] {
                return tz::bench::renderFluid(o.sf2, path, work / "song-fluid.wav", "-R 0 -C 0", fl);
            });
        if (midi.empty() || !tz::bench::runTasks(tasks, o.jobs)) return false;
        for (int k = 0; k < 2; ++k) {
            SoundSong& x = s.sound[k];
            x.clipped = tz::test::clippedSamples(pcm[k]);
            int peak = 0;
            for (int16_t v : pcm[k].samples) peak = std::max(peak, std::abs(int(v)));
            x.peakDb = 20.0 * std::log10(std::max(peak, 1) / 32767.0);
            x.seconds = double(pcm[k].frames()) / kPcmRate;
            if (!compare) continue;
            const size_t frames = std::min(pcm[k].frames(), fl.frames());
            x.correlation = tz::test::pearson(envelope(pcm[k], frames, 50, true), envelope(fl, frames, 50, true));
            x.peakCorrelation =
                tz::test::pearson(envelope(pcm[k], frames, 10, false), envelope(fl, frames, 10, false));
        }
        s.compared = compare;
        s.fsSeconds = double(fl.frames()) / kPcmRate;
        figures.push_back(s);
    }
    return true;
}

void songTable(Table& table, const std::vector<SongFigures>& songFigures) {
    if (songFigures.empty()) return;
    table.line("%s", "-- songs, classic | standard: clipped samples, peak dBFS, loudness correlation with FluidSynth "
                     "(dB per 50 ms, amplitude per 10 ms)\n");
    table.line("%-28s %8s %7s %6s %6s | %8s %7s %6s %6s | %7s %7s %7s\n", "song", "clipped", "peak", "corr",
               "corr10", "clipped", "peak", "corr", "corr10", "cl s", "std s", "fs s");
    for (const SongFigures& s : songFigures) {
        table.line("%-28.28s", s.name.c_str());
        for (const SoundSong& x : s.sound) {
            table.line(" %8llu %+7.2f", (unsigned long long)x.clipped, x.peakDb);
            if (s.compared)
                table.line(" %6.3f %6.3f |", x.correlation, x.peakCorrelation);
            else
                table.line(" %6s %6s |", "-", "-");
        }
        table.line(" %7.1f %7.1f", s.sound[0].seconds, s.sound[1].seconds);
        if (s.compared)
            table.line(" %7.1f\n", s.fsSeconds);
        else
            table.line(" %7s\n", "-");
    }
}

// --- the summary -----------------------------------------------------------------

// The summary's figures, printed and written as `name value` lines.
class Figures {
public:
    void add(const std::string& name, double value) {
        char text[64];
        // Counts whole, measures to four places.
        std::snprintf(text, sizeof text, std::floor(value) == value && std::fabs(value) < 1e12 ? "%.0f" : "%.4g",
                      value);
        lines_ += name + " " + text + "\n";
    }
    void add(const std::string& name, const std::string& value) { lines_ += name + " " + value + "\n"; }
    bool write(const std::string& path) const {
        std::FILE* f = std::fopen(path.c_str(), "w");
        if (!f || std::fputs(lines_.c_str(), f) < 0 || std::fclose(f) != 0) {
            std::fprintf(stderr, "bank_report: cannot write %s\n", path.c_str());
            return false;
        }
        return true;
    }

private:
    std::string lines_;
};

void printSummary(const Options& o, const RendererSummary sums[], const std::vector<SongFigures>& songFigures,
                  Figures& figures) {
    std::printf("== %s\n", fs::path(o.sf2).filename().c_str());
    std::printf("level against 127, error against the law 40 log10(x/127): the median over the notes at each value "
                "(dB)\n");
    for (int r = 0; r < kRendererCount; ++r) {
        if (!o.has(Renderer(r))) continue;
        const LawFigures& law = sums[r].law;
        std::printf("  %-11s", kRendererNames[r]);
        double worstMedian = 0;
        for (int c = 0; c < kControlCount; ++c) {
            std::printf(" %s", kControlNames[c]);
            for (int j = 0; j < kPointsPerControl; ++j) std::printf(" %+.2f", median(law.errors[c][j]));
            const double w = law.medianWorst(c);
            worstMedian = std::max(worstMedian, w);
            figures.add(std::string("law.") + kRendererKeys[r] + "." + kControlKeys[c], w);
        }
        std::printf("\n  %-11s worst median %.2f dB; worst note %.2f dB (%s); %d notes measured\n", "", worstMedian,
                    law.worst, law.worstAt.c_str(), law.measured);
        figures.add(std::string("law.") + kRendererKeys[r] + ".median", worstMedian);
        figures.add(std::string("law.") + kRendererKeys[r] + ".worst", law.worst);
        figures.add(std::string("law.") + kRendererKeys[r] + ".worst_at", "(" + law.worstAt + ")");
    }
    std::printf("programs more than 10 cents off FluidSynth (of those pitched):");
    for (Renderer r : kAgainstFluid)
        if (o.has(r)) std::printf(" %s %d of %d;", kRendererNames[r], sums[r].outOfTune, sums[r].pitched);
    std::printf("\n");
    if (!o.wsmpBank.empty()) {
        std::printf("  with the bank with tuning in wsmp:");
        for (Renderer r : kAgainstFluid)
            if (o.has(r)) std::printf(" %s %d of %d;", kRendererNames[r], sums[r].wsmpOutOfTune, sums[r].wsmpPitched);
        std::printf("\n");
    }
    std::printf("note length to -60 dB outside 0.67..1.5x FluidSynth's (programs and drum notes):");
    for (Renderer r : kAgainstFluid)
        if (o.has(r))
            std::printf(" %s %d of %d (%.1f %%);", kRendererNames[r], sums[r].lengthsOutside, sums[r].lengths,
                        100.0 * sums[r].lengthsOutside / std::max(sums[r].lengths, 1));
    std::printf("\nlevel more than 6 dB off FluidSynth's balance, programs / drum notes (median difference):");
    for (Renderer r : kAgainstFluid)
        if (o.has(r))
            std::printf(" %s %d / %d (%.2f / %.2f dB);", kRendererNames[r], sums[r].levelOff[0], sums[r].levelOff[1],
                        median(sums[r].levelDiffs[0]), median(sums[r].levelDiffs[1]));
    std::printf("\nnotes silent in one renderer or FluidSynth:");
    for (Renderer r : kAgainstFluid)
        if (o.has(r)) std::printf(" %s %d;", kRendererNames[r], sums[r].silent);
    std::printf("\n");
    for (Renderer r : kAgainstFluid) {
        if (!o.has(r)) continue;
        const std::string key = kRendererKeys[r];
        figures.add("pitch." + key + ".off", sums[r].outOfTune);
        figures.add("pitch." + key + ".pitched", sums[r].pitched);
        if (!o.wsmpBank.empty()) {
            figures.add("pitch_wsmp." + key + ".off", sums[r].wsmpOutOfTune);
            figures.add("pitch_wsmp." + key + ".pitched", sums[r].wsmpPitched);
        }
        figures.add("length." + key + ".outside", sums[r].lengthsOutside);
        figures.add("length." + key + ".measured", sums[r].lengths);
        figures.add("balance." + key + ".programs_off", sums[r].levelOff[0]);
        figures.add("balance." + key + ".drums_off", sums[r].levelOff[1]);
    }
    if (songFigures.empty()) return;
    for (int k = 0; k < 2; ++k) {
        const SongFigures* clip = &songFigures[0];
        const SongFigures* corr = nullptr;
        double peak = -99, worst10 = 1;
        for (const SongFigures& s : songFigures) {
            if (s.sound[k].clipped > clip->sound[k].clipped) clip = &s;
            if (s.compared && (!corr || s.sound[k].correlation < corr->sound[k].correlation)) corr = &s;
            if (s.compared) worst10 = std::min(worst10, s.sound[k].peakCorrelation);
            peak = std::max(peak, s.sound[k].peakDb);
        }
        std::printf("%s: clipped samples, worst song: %llu (%s); highest peak %+.2f dBFS\n", k ? "standard" : "classic",
                    (unsigned long long)clip->sound[k].clipped, clip->name.c_str(), peak);
        if (corr)
            std::printf("%s: loudness correlation, worst song: %.3f (%s); amplitude per 10 ms, worst: %.3f\n",
                        k ? "standard" : "classic", corr->sound[k].correlation, corr->name.c_str(), worst10);
    }
}

// --- the command line ------------------------------------------------------------

void usage() {
    std::fprintf(stderr,
                 "usage: bank_report --sf2 FILE.sf2 --bank FILE.dls [--wsmp-bank FILE.dls] [--spessa render.mjs]\n"
                 "                   [--out TABLE.txt] [--figures FILE] [--jobs N]\n"
                 "                   [--dense] [--song FILE.mid ...] [--compare FILE.mid ...]\n");
}

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
            list = nullptr;
            return argv[++i];
        };
        if (arg == "--sf2") {
            o.sf2 = value();
        } else if (arg == "--bank") {
            o.bank = value();
        } else if (arg == "--wsmp-bank") {
            o.wsmpBank = value();
        } else if (arg == "--spessa") {
            o.spessa = value();
        } else if (arg == "--out") {
            o.outPath = value();
        } else if (arg == "--figures") {
            o.figuresPath = value();
        } else if (arg == "--jobs") {
            o.jobs = std::max(1, std::atoi(value().c_str()));
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
    if (o.sf2.empty() || o.bank.empty()) {
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

bool writeText(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f || std::fputs(text.c_str(), f) < 0 || std::fclose(f) != 0) {
        std::fprintf(stderr, "bank_report: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parseArguments(argc, argv, o)) return 2;
    std::vector<std::string> programNames;
    if (!readProgramNames(o.sf2, programNames)) return 1;
    const tz::bench::WorkFolder work("bank-report-");

    std::vector<NoteFigures> notes;
    if (!measureNotes(o, work.path, programNames, notes)) return 1;
    Table table;
    RendererSummary sums[kRendererCount];
    levelTables(table, o, notes);
    noteTable(table, notes, sums);

    std::vector<SongFigures> songFigures;
    if (!measureSongs(o, work.path, songFigures)) return 1;
    songTable(table, songFigures);

    std::printf("%s", table.text().c_str());
    Figures figures;
    printSummary(o, sums, songFigures, figures);
    if (!o.outPath.empty() && !writeText(o.outPath, table.text())) return 1;
    return o.figuresPath.empty() || figures.write(o.figuresPath) ? 0 : 1;
}

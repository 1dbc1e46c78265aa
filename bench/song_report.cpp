// Song report: whole songs in our two sounds next to FluidSynth playing the
// SoundFont and SpessaSynth playing the bank made from it, reverb and chorus
// off everywhere.
//
//   song_report --bank FILE.dls --sf2 FILE.sf2 [--spessa render.mjs] [--voices N] [--jobs N]
//               [--out TABLE.txt] [--figures FILE] FILE.mid ...
//
// Per song and renderer: the correlation of the 10 ms loudness envelopes (dB,
// floored 60 dB under the loudest window), each render from its own first
// sound to the song's last event, with FluidSynth's and with SpessaSynth's
// (and theirs with each other's, the yardstick); the spectral centroid and
// its ratio to FluidSynth's; how long the render sounds after the song's
// last event (to 60 dB under its loudest window; the last event taken where
// the render's start puts it); the correlation of left and right; clipped
// samples. Ours through the song player in this process (the standard sound
// at 64 voices or --voices N, the classic at its own 32), with the notes it stole, stole
// while louder than -40 dB, and lost; the standard sound also at 32 voices
// for those counts. A table per song to stdout and --out, the worst and the
// median of each figure to stdout, and those as `name value` lines to
// --figures.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/reference_renders.h"
#include "song/song_player.h"
#include "tests/support/files.h"
#include "tests/support/signal_analysis.h"

namespace fs = std::filesystem;
using tz::test::StereoPcm;
using tz::test::kPcmRate;
using tz::test::median;

namespace {

enum Renderer { kStandard, kClassic, kFluid, kSpessa, kRendererCount };
const char* const kRendererNames[kRendererCount] = {"standard", "classic", "FluidSynth", "SpessaSynth"};
const char* const kRendererKeys[kRendererCount] = {"standard", "classic", "fluidsynth", "spessasynth"};
// SpessaSynth renders this long after the song's last note event.
constexpr double kSpessaTail = 6.0;

struct Options {
    std::string bank, sf2, spessa, outPath, figuresPath;
    std::vector<std::string> songs;
    int jobs = 2;
    int voices = 64;  // the standard sound's, for every figure but the counts at 32
    bool has(int r) const { return r != kSpessa || !spessa.empty(); }
};

struct Counts {
    int32_t stolen = 0, stolenAudible = 0, lost = 0;
};

struct RenderFigures {
    bool rendered = false;
    double onset = 0;           // s, the first sound
    double centroid = 0;        // Hz
    double afterLast = 0;       // s sounding after the last event
    double channels = 0;        // left/right correlation
    uint64_t clipped = 0;
    double corrFluid = NAN, corrSpessa = NAN;
};

struct SongFigures {
    std::string name;
    double lastEvent = 0;  // s
    RenderFigures by[kRendererCount];
    Counts standard, standard32, classic;
};

Counts countsOf(const tz::bench::OurRender& r) { return {r.stolen, r.stolenAudible, r.lost}; }

// The time of the song's last event: the length the classic sound gives,
// which ends there.
bool lastEventSeconds(const std::vector<uint8_t>& midi, const std::string& bank, double& seconds) {
    std::unique_ptr<tz::SongPlayer> player =
        tz::SongPlayer::openMemory(midi, tz::bench::ourSettings(bank, tz::SoundProfile::Classic));
    if (!player) return false;
    seconds = player->lengthSeconds();
    return true;
}

bool measureSong(const Options& o, const fs::path& work, const std::string& path, SongFigures& f) {
    f.name = fs::path(path).filename().string();
    const std::vector<uint8_t> midi = tz::test::readFileBytes(path);
    if (midi.empty() || !lastEventSeconds(midi, o.bank, f.lastEvent)) {
        std::fprintf(stderr, "song_report: cannot open %s\n", path.c_str());
        return false;
    }
    StereoPcm pcm[kRendererCount];
    std::vector<std::function<bool()>> tasks;
    // SpessaSynth, the slowest, first.
    if (o.has(kSpessa))
        tasks.push_back([&] {
            char options[64];
            std::snprintf(options, sizeof options, "--no-reverb --no-chorus --tail %.1f", kSpessaTail);
            return tz::bench::renderSpessa(o.spessa, o.bank, path, work / "spessa.wav", options, pcm[kSpessa]);
        });
    tasks.push_back([&] { return tz::bench::renderFluid(o.sf2, path, work / "fluid.wav", "-R 0 -C 0", pcm[kFluid]); });
    tasks.push_back([&] {
        tz::bench::OurRender r;
        if (!tz::bench::renderOurs(midi, tz::bench::ourSettings(o.bank, tz::SoundProfile::Standard, o.voices), r))
            return false;
        f.standard = countsOf(r);
        pcm[kStandard] = std::move(r.pcm);
        return true;
    });
    tasks.push_back([&] {
        tz::bench::OurRender r;
        if (!tz::bench::renderOurs(midi, tz::bench::ourSettings(o.bank, tz::SoundProfile::Standard, 32), r))
            return false;
        f.standard32 = countsOf(r);
        return true;
    });
    tasks.push_back([&] {
        tz::bench::OurRender r;
        if (!tz::bench::renderOurs(midi, tz::bench::ourSettings(o.bank, tz::SoundProfile::Classic), r)) return false;
        f.classic = countsOf(r);
        pcm[kClassic] = std::move(r.pcm);
        return true;
    });
    if (!tz::bench::runTasks(tasks, o.jobs)) return false;

    // Each render's start; ours begins with the song, so its first sound is
    // the song's, and the others' last event lies as much later as their
    // first sound.
    size_t onset[kRendererCount] = {};
    for (int r = 0; r < kRendererCount; ++r) {
        if (!o.has(r)) continue;
        onset[r] = tz::test::onsetFrame(pcm[r], 60.0);
        f.by[r].rendered = true;
        f.by[r].onset = double(onset[r]) / kPcmRate;
    }
    const double lastFrame = f.lastEvent * kPcmRate;
    const size_t music = lastFrame > double(onset[kStandard]) ? size_t(lastFrame) - onset[kStandard] : 0;
    for (int r = 0; r < kRendererCount; ++r) {
        if (!o.has(r)) continue;
        RenderFigures& x = f.by[r];
        const StereoPcm& s = pcm[r];
        x.centroid = tz::test::spectralCentroid(s, onset[r], music);
        const double last = f.lastEvent + (double(onset[r]) - double(onset[kStandard])) / kPcmRate;
        x.afterLast = tz::test::soundingSeconds(s, 0, s.frames(), 60.0) - last;
        x.channels = tz::test::channelCorrelation(s);
        x.clipped = tz::test::clippedSamples(s);
        auto correlate = [&](int other) {
            if (!o.has(other)) return double(NAN);
            const size_t a = s.frames() - std::min(s.frames(), onset[r]);
            const size_t b = pcm[other].frames() - std::min(pcm[other].frames(), onset[other]);
            return tz::test::envelopeCorrelation(s, onset[r], pcm[other], onset[other], std::min({music, a, b}));
        };
        if (r != kFluid) x.corrFluid = correlate(kFluid);
        if (r != kSpessa) x.corrSpessa = correlate(kSpessa);
    }
    return true;
}

// --- tables ----------------------------------------------------------------------

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

void songTable(Table& t, const Options& o, const std::vector<SongFigures>& songs) {
    t.line("-- envelope correlation (10 ms, dB) with FluidSynth: standard, classic, SpessaSynth; standard with "
           "SpessaSynth | spectral centroid: FluidSynth's, and the others' ratio to it | seconds sounding after "
           "the last event | left/right correlation | clipped samples\n");
    t.line("%-26s %7s | %5s %5s %5s %5s | %6s %5s %5s %5s | %5s %5s %5s %5s | %5s %5s %5s %5s | %6s %6s %6s\n",
           "song", "last s", "std", "cl", "sp", "s-sp", "fs Hz", "std", "cl", "sp", "std", "cl", "fs", "sp", "std",
           "cl", "fs", "sp", "std", "cl", "sp");
    for (const SongFigures& f : songs) {
        auto value = [&](double v, const char* format) {
            if (std::isnan(v))
                t.line(" %5s", "-");
            else
                t.line(format, v);
        };
        t.line("%-26.26s %7.1f |", f.name.c_str(), f.lastEvent);
        value(f.by[kStandard].corrFluid, " %5.3f");
        value(f.by[kClassic].corrFluid, " %5.3f");
        value(f.by[kSpessa].corrFluid, " %5.3f");
        value(f.by[kStandard].corrSpessa, " %5.3f");
        t.line(" | %6.0f", f.by[kFluid].centroid);
        for (Renderer r : {kStandard, kClassic, kSpessa})
            value(f.by[r].rendered ? f.by[r].centroid / f.by[kFluid].centroid : NAN, " %5.2f");
        t.line(" |");
        for (Renderer r : {kStandard, kClassic, kFluid, kSpessa}) value(f.by[r].rendered ? f.by[r].afterLast : NAN, " %+5.2f");
        t.line(" |");
        for (Renderer r : {kStandard, kClassic, kFluid, kSpessa}) value(f.by[r].rendered ? f.by[r].channels : NAN, " %5.2f");
        t.line(" |");
        for (Renderer r : {kStandard, kClassic, kSpessa}) t.line(" %6llu", (unsigned long long)f.by[r].clipped);
        t.line("\n");
    }
    t.line("-- our voices: notes stolen / stolen louder than -40 dB / lost\n");
    char head[32];
    std::snprintf(head, sizeof head, "standard, %d voices", o.voices);
    t.line("%-26s %20s %20s %20s\n", "song", head, "standard, 32 voices", "classic, 32 voices");
    for (const SongFigures& f : songs) {
        t.line("%-26.26s", f.name.c_str());
        for (const Counts* c : {&f.standard, &f.standard32, &f.classic})
            t.line(" %8d / %4d / %4d", c->stolen, c->stolenAudible, c->lost);
        t.line("\n");
    }
}

// --- the summary -----------------------------------------------------------------

struct Figures {
    std::string lines;
    void add(const std::string& name, double value) {
        char text[64];
        // Counts whole, measures to four places.
        std::snprintf(text, sizeof text, std::floor(value) == value && std::fabs(value) < 1e12 ? "%.0f" : "%.4g",
                      value);
        lines += name + " " + text + "\n";
    }
};

// The worst (the lowest, or with `largest` the highest) and the median of a
// figure over the songs, printed and kept.
void worstAndMedian(Figures& figures, const std::string& key, const char* what, const std::vector<double>& values,
                    const std::vector<SongFigures>& songs, bool largest) {
    if (values.empty()) return;
    size_t worst = 0;
    for (size_t i = 0; i < values.size(); ++i)
        if (largest ? values[i] > values[worst] : values[i] < values[worst]) worst = i;
    const double m = median(values);
    std::printf("  %-52s worst %8.3f (%s), median %8.3f\n", what, values[worst], songs[worst].name.c_str(), m);
    figures.add(key + ".worst", values[worst]);
    figures.add(key + ".median", m);
}

void printSummary(const Options& o, const std::vector<SongFigures>& songs, Figures& figures) {
    std::printf("== %zu songs, %s (FluidSynth) and %s\n", songs.size(), fs::path(o.sf2).filename().c_str(),
                fs::path(o.bank).filename().c_str());
    auto collect = [&](auto get) {
        std::vector<double> v;
        for (const SongFigures& f : songs) v.push_back(get(f));
        return v;
    };
    for (Renderer r : {kStandard, kClassic, kSpessa}) {
        if (!o.has(r)) continue;
        const std::string what = std::string(kRendererNames[r]) + ": envelope correlation with FluidSynth";
        worstAndMedian(figures, std::string("corr.") + kRendererKeys[r], what.c_str(),
                       collect([r](const SongFigures& f) { return f.by[r].corrFluid; }), songs, false);
    }
    for (Renderer r : {kStandard, kClassic}) {
        if (!o.has(kSpessa)) break;
        const std::string what = std::string(kRendererNames[r]) + ": envelope correlation with SpessaSynth";
        worstAndMedian(figures, std::string("corr_spessa.") + kRendererKeys[r], what.c_str(),
                       collect([r](const SongFigures& f) { return f.by[r].corrSpessa; }), songs, false);
    }
    for (Renderer r : {kStandard, kClassic, kSpessa}) {
        if (!o.has(r)) continue;
        const std::vector<double> ratios =
            collect([r](const SongFigures& f) { return f.by[r].centroid / f.by[kFluid].centroid; });
        // The worst is the farthest from 1 either way.
        std::vector<double> distance;
        for (double x : ratios) distance.push_back(std::fabs(std::log(x)));
        size_t worst = size_t(std::max_element(distance.begin(), distance.end()) - distance.begin());
        const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
        std::printf("  %-52s worst %8.3f (%s), median %8.3f, range %.3f .. %.3f\n",
                    (std::string(kRendererNames[r]) + ": spectral centroid / FluidSynth's").c_str(), ratios[worst],
                    songs[worst].name.c_str(), median(ratios), *low, *high);
        const std::string key = std::string("centroid.") + kRendererKeys[r];
        figures.add(key + ".worst", ratios[worst]);
        figures.add(key + ".median", median(ratios));
        figures.add(key + ".min", *low);
        figures.add(key + ".max", *high);
    }
    const double tail = tz::Settings{}.tail;
    for (Renderer r : {kStandard, kClassic, kFluid, kSpessa}) {
        if (!o.has(r)) continue;
        const std::string what = std::string(kRendererNames[r]) + ": seconds sounding after the last event";
        worstAndMedian(figures, std::string("after.") + kRendererKeys[r], what.c_str(),
                       collect([r](const SongFigures& f) { return f.by[r].afterLast; }), songs, true);
    }
    {
        // Against FluidSynth's, which our tail cuts short.
        const std::vector<double> diffs = collect([tail](const SongFigures& f) {
            return std::fabs(f.by[kStandard].afterLast - std::min(f.by[kFluid].afterLast, tail));
        });
        char what[96];
        std::snprintf(what, sizeof what, "standard: |that - FluidSynth's (up to the %.1f s tail)|", tail);
        worstAndMedian(figures, "after_diff.standard", what, diffs, songs, true);
        figures.add("tail", tail);
    }
    for (Renderer r : {kStandard, kClassic, kFluid, kSpessa}) {
        if (!o.has(r)) continue;
        const std::string what = std::string(kRendererNames[r]) + ": left/right correlation";
        worstAndMedian(figures, std::string("channels.") + kRendererKeys[r], what.c_str(),
                       collect([r](const SongFigures& f) { return f.by[r].channels; }), songs, true);
    }
    for (Renderer r : {kStandard, kClassic, kSpessa}) {
        if (!o.has(r)) continue;
        const std::string what = std::string(kRendererNames[r]) + ": clipped samples";
        worstAndMedian(figures, std::string("clipped.") + kRendererKeys[r], what.c_str(),
                       collect([r](const SongFigures& f) { return double(f.by[r].clipped); }), songs, true);
    }
    const std::string main = "standard" + std::to_string(o.voices);
    const std::pair<const char*, Counts SongFigures::*> voices[] = {{main.c_str(), &SongFigures::standard},
                                                                      {"standard32", &SongFigures::standard32},
                                                                      {"classic32", &SongFigures::classic}};
    for (const auto& [key, field] : voices) {
        Counts total, worst;
        for (const SongFigures& f : songs) {
            const Counts& c = f.*field;
            total.stolen += c.stolen;
            total.stolenAudible += c.stolenAudible;
            total.lost += c.lost;
            worst.stolen = std::max(worst.stolen, c.stolen);
            worst.stolenAudible = std::max(worst.stolenAudible, c.stolenAudible);
            worst.lost = std::max(worst.lost, c.lost);
        }
        std::printf("  %-52s all songs %d / %d / %d, worst song %d / %d / %d\n",
                    (std::string(key) + ": stolen / stolen louder than -40 dB / lost").c_str(), total.stolen,
                    total.stolenAudible, total.lost, worst.stolen, worst.stolenAudible, worst.lost);
        // The figures name the standard sound's render at its voices "standard".
        const std::string name = std::string("voices.") + (key == main ? std::string("standard") : std::string(key));
        figures.add(name + ".stolen", total.stolen);
        figures.add(name + ".stolen_audible", total.stolenAudible);
        figures.add(name + ".lost", total.lost);
    }
}

bool writeText(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f || std::fputs(text.c_str(), f) < 0 || std::fclose(f) != 0) {
        std::fprintf(stderr, "song_report: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

void usage() {
    std::fprintf(stderr, "usage: song_report --bank FILE.dls --sf2 FILE.sf2 [--spessa render.mjs] [--voices N] [--jobs N]\n"
                         "                   [--out TABLE.txt] [--figures FILE] FILE.mid ...\n");
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--bank") o.bank = value();
        else if (a == "--sf2") o.sf2 = value();
        else if (a == "--spessa") o.spessa = value();
        else if (a == "--voices") o.voices = std::clamp(std::atoi(value().c_str()), 16, 256);
        else if (a == "--jobs") o.jobs = std::max(1, std::atoi(value().c_str()));
        else if (a == "--out") o.outPath = value();
        else if (a == "--figures") o.figuresPath = value();
        else if (!a.empty() && a[0] != '-') o.songs.push_back(a);
        else {
            usage();
            return 2;
        }
    }
    if (o.bank.empty() || o.sf2.empty() || o.songs.empty()) {
        usage();
        return 2;
    }
    const tz::bench::WorkFolder work("song-report-");
    std::vector<SongFigures> songs;
    for (const std::string& path : o.songs) {
        SongFigures f;
        if (!measureSong(o, work.path, path, f)) return 1;
        songs.push_back(f);
        std::fprintf(stderr, "\rsong_report: %zu of %zu songs", songs.size(), o.songs.size());
    }
    std::fprintf(stderr, "\n");
    Table table;
    songTable(table, o, songs);
    std::printf("%s", table.text().c_str());
    Figures figures;
    printSummary(o, songs, figures);
    if (!o.outPath.empty() && !writeText(o.outPath, table.text())) return 1;
    return o.figuresPath.empty() || writeText(o.figuresPath, figures.lines) ? 0 : 1;
}

// Writes seed corpora for the fuzz targets from the test builders:
//   make_seeds OUT_DIR [MIDI_FILES...]
// creates OUT_DIR/{smf,dls,patch,plugin}; MIDI files given on the command
// line are copied into the smf and plugin corpora as well.
#include <filesystem>
#include <string>
#include <vector>

#include "platform/byte_writer.h"
#include "tests/support/files.h"
#include "tests/support/patch_builder.h"
#include "tests/support/sf2_builder.h"
#include "tests/support/smf_builder.h"
#include "tests/support/test_bank.h"
#include "soundfont/sf2_reader.h"

namespace fs = std::filesystem;
using tz::test::SmfBuilder;

namespace {

void put(const fs::path& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
    tz::test::writeFileBytes(dir / name, bytes);
}

std::vector<std::vector<uint8_t>> midiSeeds() {
    std::vector<std::vector<uint8_t>> out;
    {
        SmfBuilder smf(0, 96);
        smf.track().program(0, 0, 0).noteOn(0, 0, 60, 100).noteOn(0, 9, 36, 120).noteOff(96, 0, 60).noteOff(0, 9, 36);
        out.push_back(smf.bytes());
    }
    {
        SmfBuilder smf(1, 480);
        smf.track().tempo(0, 400000).text(0, 1, "seed").text(0, 2, "(c)").tempo(960, 700000);
        auto& t = smf.track().useRunningStatus();
        t.controller(0, 0, 0, 1).controller(0, 0, 32, 0).program(0, 0, 8).controller(0, 0, 7, 100);
        t.controller(0, 0, 10, 20).controller(0, 0, 11, 90).rpn(0, 0, 0, 0, 12).pitchBend(0, 0, 10000);
        t.noteOn(10, 0, 64, 90).keyPressure(10, 0, 64, 30).controller(0, 0, 64, 127).noteOff(100, 0, 64);
        t.controller(10, 0, 64, 0).controller(0, 0, 121, 0).controller(0, 0, 123, 0).controller(0, 0, 120, 0);
        t.sysex(0, {0x7E, 0x7F, 0x09, 0x01, 0xF7});
        out.push_back(smf.bytes());
    }
    {
        SmfBuilder smf(2, 0xE728);  // SMPTE -25 fps, 40 ticks per frame
        smf.track().noteOn(0, 1, 50, 80).noteOff(100, 1, 50);
        smf.track().noteOn(50, 2, 70, 80).noteOff(100, 2, 70);
        out.push_back(smf.bytes());
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    fs::path root = argv[1];
    int n = 0;
    for (const auto& bytes : midiSeeds()) {
        put(root / "smf", "builder-" + std::to_string(n), bytes);
        put(root / "plugin", "builder-" + std::to_string(n++), bytes);
    }
    // An RMI wrapper around the first song.
    std::vector<uint8_t> song = midiSeeds()[0];
    std::vector<uint8_t> rmi = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'R', 'M', 'I', 'D', 'd', 'a', 't', 'a'};
    tz::putU32le(rmi, uint32_t(song.size()));
    rmi.insert(rmi.end(), song.begin(), song.end());
    if (song.size() & 1) rmi.push_back(0);
    uint32_t riffSize = uint32_t(rmi.size() - 8);
    for (int i = 0; i < 4; ++i) rmi[size_t(4 + i)] = uint8_t(riffSize >> (8 * i));
    put(root / "smf", "rmi", rmi);
    put(root / "plugin", "rmi", rmi);
    for (int i = 2; i < argc; ++i) {
        std::vector<uint8_t> bytes = tz::test::readFileBytes(argv[i]);
        std::string name = fs::path(argv[i]).filename().string();
        put(root / "smf", name, bytes);
        put(root / "plugin", name, bytes);
    }

    put(root / "dls", "small-gm", tz::test::smallGmBank());

    using namespace tz;
    using namespace tz::test;
    std::vector<int16_t> tone(200);
    for (int i = 0; i < 200; ++i) tone[size_t(i)] = int16_t((i % 40) * 1000 - 20000);
    PatchSpec looped;
    looped.samples.push_back(patchSample16(tone));
    looped.samples[0].modes = 0x01 | 0x04 | 0x20 | 0x40;
    looped.samples[0].loopStart = 80;
    looped.samples[0].loopEnd = 320;
    looped.samples[0].vibratoDepth = 30;
    looped.samples[0].vibratoRate = 40;
    looped.samples[0].tremoloDepth = 20;
    looped.samples[0].tremoloRate = 30;
    std::vector<uint8_t> bytes8(300);
    for (int i = 0; i < 300; ++i) bytes8[size_t(i)] = uint8_t(i * 7);
    PatchSpec plain;
    plain.samples.push_back(patchSample8(bytes8));
    plain.samples[0].modes = 0x02 | 0x10;
    for (uint8_t options : {0x00, 0x01, 0x35, 0x8A}) {
        std::vector<uint8_t> a = {options}, b = {options};
        std::vector<uint8_t> pa = buildPatch(looped), pb = buildPatch(plain);
        a.insert(a.end(), pa.begin(), pa.end());
        b.insert(b.end(), pb.begin(), pb.end());
        put(root / "patch", "looped-" + std::to_string(options), a);
        put(root / "patch", "plain-" + std::to_string(options), b);
    }

    // SoundFonts: a looped melodic zone with tuning, attenuation and scale
    // tuning, a stereo pair layered over it, and a one-shot drum.
    Sf2Builder sf;
    Sf2BuilderSample left{"L", tone, 10, 190, 22050, 60, -12, 2, Sf2SampleLeft};
    Sf2BuilderSample right{"R", tone, 10, 190, 22050, 60, 7, 1, Sf2SampleRight};
    const int mono = sf.sample("mono", tone, 32000, 64);
    const int l = sf.sample(left), r = sf.sample(right);
    const int melodic = sf.instrument(
        "Melodic", {sf2Zone({sf2Gen(Sf2GenSampleModes, 1), sf2Gen(Sf2GenFineTune, 30), sf2Gen(Sf2GenScaleTuning, 50),
                             sf2Gen(Sf2GenInitialAttenuation, 60), sf2Range(Sf2GenKeyRange, 0, 90)},
                            mono),
                    sf2Zone({sf2Gen(Sf2GenSampleModes, 1), sf2Gen(Sf2GenPan, -500)}, l),
                    sf2Zone({sf2Gen(Sf2GenSampleModes, 1), sf2Gen(Sf2GenPan, 500)}, r)});
    const int drum = sf.instrument("Kick", {sf2Zone({sf2Range(Sf2GenKeyRange, 35, 36), sf2Gen(Sf2GenReleaseVolEnv, -2000)}, mono)});
    sf.preset("Melodic", 0, 0, {sf2Zone({sf2Gen(Sf2GenCoarseTune, -1)}, melodic)});
    sf.preset("Drums", 0, 128, {sf2Zone({}, drum)});
    put(root / "sf2", "builder", sf.bytes());

    auto text = [](const std::string& t) { return std::vector<uint8_t>(t.begin(), t.end()); };
    put(root / "settings", "keys", text("# settings\nbank = \"%SystemRoot%/gm.dls\"\npatches=~/freepats.cfg  # x\n"
                                        "unknown = 1\nno equals sign\n\xef\xbb\xbf\n"));
    put(root / "patchcfg", "freepats-like",
        text("dir /usr/share/midi/freepats\nsource more.cfg\nbank 0\n 0 Tone_000/000_Piano.pat amp=120 pan=center\n"
             "drumset 0\n35 Drum_000/035_Kick.pat note=35 keep=loop strip=tail pan=-30\nbank 300\n1 x.pat\n"
             "soundfont x.sf2\n"));
    return 0;
}

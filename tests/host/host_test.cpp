// Host emulation: loads the plug-in library by path and talks to it only by
// vtable slot, the way a media player does, with a source object of its own.
// Runs against tz_midi.so and, under Wine, against tz_midi.dll.
//
// usage: host_test PLUGIN_LIBRARY WORK_DIR
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/host/host_files.h"
#include "tests/support/files.h"
#include "tests/support/test_bank.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#if defined(_WIN32) && defined(__i386__)
#define TZ_THISCALL __attribute__((thiscall))
#else
#define TZ_THISCALL
#endif

namespace {

int passed = 0, failed = 0;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (cond) {                                                                  \
            ++passed;                                                                \
        } else {                                                                     \
            ++failed;                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                            \
    } while (0)

// Calls virtual slot `slot` of a C++ object through its vtable.
template <class R, class... Args>
R callSlot(void* object, int slot, Args... args) {
    void** vtable = *static_cast<void***>(object);
    using Fn = R(TZ_THISCALL*)(void*, Args...);
    return reinterpret_cast<Fn>(vtable[slot])(object, args...);
}

// The host's source object: eleven slots, the last returns the path.
struct Source;
const char16_t* TZ_THISCALL sourcePath(Source* self);
void TZ_THISCALL sourceOther(Source*) {}

struct Source {
    void** vtable;
    std::u16string path;
    int pathCalls = 0;
    void* slots[11];
    explicit Source(const std::u16string& p) : path(p) {
        for (int i = 0; i < 10; ++i) slots[i] = reinterpret_cast<void*>(&sourceOther);
        slots[10] = reinterpret_cast<void*>(&sourcePath);
        vtable = slots;
    }
};

const char16_t* TZ_THISCALL sourcePath(Source* self) {
    ++self->pathCalls;
    return self->path.c_str();
}

struct Format {
    int32_t kind;
    int32_t pad;
    double lengthSeconds;
    int32_t r16;
    uint32_t sampleRate;
    int32_t r24;
    int32_t channelCount;
    int32_t bitsPerSample;
    uint8_t rest[20];
};
static_assert(sizeof(Format) == 56);

// Demuxer slots.
bool dOpen(void* d, Source* s) { return callSlot<bool>(d, 0, static_cast<void*>(s)); }
void dClose(void* d) { callSlot<void>(d, 1); }
void dSeek(void* d, double* seconds) { callSlot<void>(d, 2, seconds); }
int32_t dRead(void* d, uint8_t* buffer, int32_t length) { return callSlot<int32_t>(d, 3, buffer, length); }
const Format* dFormat(void* d) { return callSlot<const Format*>(d, 4); }
void dRelease(void* d) { callSlot<void>(d, 5); }

// Plug-in slots.
int32_t pType(void* p) { return callSlot<int32_t>(p, 0); }
void pRelease(void* p) { callSlot<void>(p, 1); }
void* pCreate(void* p) { return callSlot<void*>(p, 2); }
bool pSupports(void* p, const char16_t* ext) { return callSlot<bool>(p, 3, ext); }

bool formatIsBare(const Format* f) {
    static const uint8_t zeros[20] = {};
    return f->kind == 1 && f->pad == 0 && f->lengthSeconds == 0.0 && f->r16 == 0 && f->sampleRate == 44100 &&
           f->r24 == 0 && f->channelCount == 2 && f->bitsPerSample == 16 && std::memcmp(f->rest, zeros, 20) == 0;
}

std::u16string widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

void setSystemRoot(const std::string& dir) {
#ifdef _WIN32
    SetEnvironmentVariableA("SystemRoot", dir.c_str());
#else
    setenv("SystemRoot", dir.c_str(), 1);
#endif
}

void testPlugin(void* (*getPlugin)()) {
    void* a = getPlugin();
    void* b = getPlugin();
    CHECK(a && b && a != b);
    CHECK(pType(a) == 2 && pType(a) == 2);
    for (const char16_t* ext : {u"mid", u"midi", u"rmi", u"midx", u"rmid", u"mid2"}) CHECK(pSupports(a, ext));
    for (const char16_t* ext : {u"MID", u"kar", u"wav", u"", u"mi", u"rm"}) CHECK(!pSupports(a, ext));
    pRelease(a);
    pRelease(b);
}

void testWithoutSong(void* plugin, const std::string& work) {
    void* d = pCreate(plugin);
    CHECK(d != nullptr);
    const Format* f = dFormat(d);
    static const uint8_t zeros[56] = {};
    CHECK(std::memcmp(f, zeros, 56) == 0);
    uint8_t buffer[64];
    CHECK(dRead(d, buffer, 64) == -1);
    double pos = 12.5;
    dSeek(d, &pos);
    CHECK(pos == 12.5);

    // Missing file: false, the format record shows the output format only.
    Source missing(widen(work + "/no-such-file.mid"));
    CHECK(!dOpen(d, &missing));
    CHECK(missing.pathCalls == 1);
    CHECK(dFormat(d) == f);
    CHECK(formatIsBare(f));
    CHECK(dRead(d, buffer, 64) == -1);

    // Not a MIDI file.
    Source notMidi(widen(work + "/" + tzhost::kNotMidiName));
    CHECK(!dOpen(d, &notMidi));
    CHECK(formatIsBare(f));
    dClose(d);
    dClose(d);
    dRelease(d);
}

void testSong(void* plugin, const std::string& work) {
    void* d = pCreate(plugin);
    Source song(widen(work + "/" + tzhost::kSongName));
    bool opened = dOpen(d, &song);
    CHECK(opened);
    if (!opened) {
        dRelease(d);
        return;
    }
    const Format* f = dFormat(d);
    CHECK(f->kind == 1 && f->sampleRate == 44100 && f->channelCount == 2 && f->bitsPerSample == 16);
    CHECK(std::fabs(f->lengthSeconds - tzhost::kSongSeconds) < 1e-9);
    uint8_t zero[1];
    CHECK(dRead(d, zero, 0) == 0);

    // Reads of 1000 bytes: full until fewer remain, then the rest, then -1.
    const int64_t total = int64_t(std::llround(tzhost::kSongSeconds * 44100)) * 4;
    std::vector<uint8_t> buffer(10000);
    int64_t got = 0;
    int32_t n;
    while ((n = dRead(d, buffer.data(), 1000)) > 0) {
        if (n != 1000) CHECK(got + n == total);
        got += n;
    }
    CHECK(n == -1);
    CHECK(got == total);
    CHECK(dRead(d, buffer.data(), 1000) == -1);
    // After the end a seek still reports, but nothing plays again.
    double pos = 0.0;
    dSeek(d, &pos);
    CHECK(pos == 0.0);
    CHECK(dRead(d, buffer.data(), 1000) == -1);

    // A new open plays from the start; a read of 10000 bytes is served whole.
    CHECK(dOpen(d, &song));
    CHECK(dRead(d, buffer.data(), 10000) == 10000);
    pos = 0.5;
    dSeek(d, &pos);
    CHECK(pos == 0.5);
    pos = 1e9;
    dSeek(d, &pos);
    CHECK(std::fabs(pos - f->lengthSeconds) < 1e-9);
    pos = -3.0;
    dSeek(d, &pos);
    CHECK(pos == 0.0);
    // The first read after a seek starts at the position reached.
    int64_t afterSeek = 0;
    while ((n = dRead(d, buffer.data(), 4000)) > 0) afterSeek += n;
    CHECK(afterSeek == total);

    // Two demuxers may be alive at once.
    void* other = pCreate(plugin);
    Source again(widen(work + "/" + tzhost::kSongName));
    CHECK(dOpen(other, &again));
    dRelease(other);
    CHECK(dOpen(d, &song));
    CHECK(dRead(d, buffer.data(), 100) == 100);
    dRelease(d);
}

// The whole song as one demuxer delivers it, in reads of 3000 bytes; empty
// when it does not open.
std::vector<uint8_t> playWhole(void* plugin, const std::string& path) {
    std::vector<uint8_t> out;
    void* d = pCreate(plugin);
    if (!d) return out;
    Source source(widen(path));
    if (dOpen(d, &source)) {
        uint8_t buffer[3000];
        int32_t n;
        while ((n = dRead(d, buffer, sizeof buffer)) > 0) out.insert(out.end(), buffer, buffer + n);
    }
    dRelease(d);
    return out;
}

// Demuxers on threads of their own, opening and playing at once, share the
// bank: each delivers the bytes a demuxer alone delivers.
void testTwoThreads(void* plugin, const std::string& work) {
    const std::string song = work + "/" + tzhost::kSongName;
    const std::vector<uint8_t> alone = playWhole(plugin, song);
    CHECK(!alone.empty());
    constexpr int kRounds = 3;
    std::vector<uint8_t> played[2][kRounds];
    std::thread threads[2];
    for (int t = 0; t < 2; ++t)
        threads[t] = std::thread([&, t] {
            for (int round = 0; round < kRounds; ++round) played[t][round] = playWhole(plugin, song);
        });
    for (std::thread& thread : threads) thread.join();
    for (const auto& rounds : played)
        for (const std::vector<uint8_t>& bytes : rounds) CHECK(bytes == alone);
}

// The bank changing on disk between opens: the next open sees what is there.
void testBankChanges(void* plugin, const std::string& work) {
    const std::string song = work + "/" + tzhost::kSongName;
    const std::string bank = work + "/windows/SYSTEM32/drivers/GM.DLS";
    const std::vector<uint8_t> before = playWhole(plugin, song);
    CHECK(!before.empty());
    CHECK(tz::test::writeFileBytes(bank, std::vector<uint8_t>{'n', 'o', 't', ' ', 'D', 'L', 'S'}));
    CHECK(playWhole(plugin, song).empty());
    std::remove(bank.c_str());
    CHECK(playWhole(plugin, song).empty());
    CHECK(tz::test::writeFileBytes(bank, tz::test::smallGmBank()));
    CHECK(playWhole(plugin, song) == before);

    // A song's instruments load at its first read: a bank cut short between
    // the open and that read leaves the song silent, not broken.
    void* d = pCreate(plugin);
    Source source(widen(song));
    CHECK(dOpen(d, &source));
    CHECK(tz::test::writeFileBytes(bank, std::vector<uint8_t>{'R', 'I', 'F', 'F'}));
    std::vector<uint8_t> cut;
    uint8_t buffer[3000];
    int32_t n;
    while ((n = dRead(d, buffer, sizeof buffer)) > 0) cut.insert(cut.end(), buffer, buffer + n);
    CHECK(cut.size() == before.size());
    CHECK(std::all_of(cut.begin(), cut.end(), [](uint8_t b) { return b == 0; }));
    dRelease(d);
    CHECK(tz::test::writeFileBytes(bank, tz::test::smallGmBank()));
}

void setSettingsVariable(const char* value) {
#ifdef _WIN32
    SetEnvironmentVariableA("TZ_MIDI_SETTINGS", value);
#else
    if (value)
        setenv("TZ_MIDI_SETTINGS", value, 1);
    else
        unsetenv("TZ_MIDI_SETTINGS");
#endif
}

bool writeText(const std::string& path, const std::string& text) {
    return tz::test::writeFileBytes(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Settings: a tz_midi.ini next to the library chooses the bank, a line the
// plug-in cannot use changes nothing, a bank named there that is missing
// gives way to the system's, and TZ_MIDI_SETTINGS names a file of its own.
void testSettings(const std::string& library, const std::string& work) {
    const std::string dir = work + "/settings";
    const std::string copy = dir + "/" + library.substr(library.find_last_of("/\\") + 1);
    const std::vector<uint8_t> bytes = tz::test::readFileBytes(library);
    CHECK(!bytes.empty() && tz::test::writeFileBytes(copy, bytes));
    const std::string bank = dir + "/other bank.dls", song = work + "/" + tzhost::kSongName;
    CHECK(tz::test::writeFileBytes(bank, tz::test::smallGmBank()));
#ifdef _WIN32
    HMODULE module = LoadLibraryA(copy.c_str());
    void* symbol = module ? reinterpret_cast<void*>(GetProcAddress(module, "tzGetPlugin")) : nullptr;
#else
    void* module = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    void* symbol = module ? dlsym(module, "tzGetPlugin") : nullptr;
#endif
    CHECK(symbol != nullptr);
    if (!symbol) return;
    void* plugin = reinterpret_cast<void* (*)()>(symbol)();
    const std::vector<uint8_t> reference = playWhole(plugin, song);
    CHECK(!reference.empty());

    // No system bank: only the bank the settings name plays.
    const std::string systemBank = work + "/windows/SYSTEM32/drivers/GM.DLS";
    CHECK(std::rename(systemBank.c_str(), (systemBank + ".away").c_str()) == 0);
    CHECK(playWhole(plugin, song).empty());
    CHECK(writeText(dir + "/tz_midi.ini", "# the bank\nbank = \"" + bank + "\"\n"));
    CHECK(playWhole(plugin, song) == reference);
    CHECK(writeText(dir + "/tz_midi.ini", "volume = loud\nbank = \"" + bank + "\"\nno equals sign\n"));
    CHECK(playWhole(plugin, song) == reference);

    // A bank that is missing gives way to the system's.
    CHECK(std::rename((systemBank + ".away").c_str(), systemBank.c_str()) == 0);
    CHECK(writeText(dir + "/tz_midi.ini", "bank = " + dir + "/missing.dls\n"));
    CHECK(playWhole(plugin, song) == reference);

    // The variable's file comes first.
    CHECK(std::rename(systemBank.c_str(), (systemBank + ".away").c_str()) == 0);
    CHECK(writeText(dir + "/tz_midi.ini", "bank = " + dir + "/missing.dls\n"));
    CHECK(writeText(dir + "/named.ini", "bank = \"" + bank + "\"\n"));
    setSettingsVariable((dir + "/named.ini").c_str());
    CHECK(playWhole(plugin, song) == reference);
    setSettingsVariable(nullptr);
    CHECK(playWhole(plugin, song).empty());
    CHECK(std::rename((systemBank + ".away").c_str(), systemBank.c_str()) == 0);
    pRelease(plugin);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: host_test PLUGIN_LIBRARY WORK_DIR\n");
        return 2;
    }
    std::string library = argv[1];
    std::string work = argv[2];
    std::string error;
    if (!tzhost::writeTestFiles(work, error)) {
        std::fprintf(stderr, "host_test: %s\n", error.c_str());
        return 1;
    }
    setSystemRoot(work + "/windows");
#ifdef _WIN32
    HMODULE module = LoadLibraryA(library.c_str());
    void* symbol = module ? reinterpret_cast<void*>(GetProcAddress(module, "tzGetPlugin")) : nullptr;
#else
    void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    void* symbol = module ? dlsym(module, "tzGetPlugin") : nullptr;
#endif
    if (!symbol) {
        std::fprintf(stderr, "host_test: cannot load tzGetPlugin from %s\n", library.c_str());
        return 1;
    }
    auto getPlugin = reinterpret_cast<void* (*)()>(symbol);
    testPlugin(getPlugin);
    void* plugin = getPlugin();
    testWithoutSong(plugin, work);
    testSong(plugin, work);
    testTwoThreads(plugin, work);
    testBankChanges(plugin, work);
    pRelease(plugin);
    testSettings(library, work);
    std::printf("host_test: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

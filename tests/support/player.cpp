#include "tests/support/player.h"

#include <cstdlib>
#include <string>

#include "instruments/config.h"
#include "instruments/instrument_bank.h"
#include "platform/paths.h"
#include "song/song_assembly.h"
#include "tests/support/files.h"
#include "tests/support/test_bank.h"

namespace tz::test {

Settings bankSettings(const std::filesystem::path& bank, const std::filesystem::path& patches) {
    Settings settings;
    if (!bank.empty()) settings.bank = utf8ToUtf16(bank.string());
    if (!patches.empty()) settings.patches = utf8ToUtf16(patches.string());
    return settings;
}

const std::filesystem::path& smallGmBankFile() {
    static const std::filesystem::path path = [] {
        std::string error;
        const std::string dir = createTemporaryDirectory("tz-test-bank-", error);
        if (dir.empty()) std::abort();
        std::filesystem::path file = std::filesystem::path(dir) / "small-gm.dls";
        if (!writeFileBytes(file, smallGmBank())) std::abort();
        static const struct Remove {
            std::filesystem::path dir;
            ~Remove() {
                std::error_code ec;
                std::filesystem::remove_all(dir, ec);
            }
        } remove{dir};
        return file;
    }();
    return path;
}

std::unique_ptr<SongPlayer> openSong(const std::vector<uint8_t>& midi, const Settings& settings) {
    return SongPlayer::openMemory(midi, settings);
}

std::unique_ptr<MidiSong> assembleSong(const SongOptions& options, const std::vector<uint8_t>& midi,
                                       const DlsCollection* bank) {
    std::unique_ptr<MidiSong> song = readSong(options, midi, defaultInstrumentConfiguration());
    if (!song) return nullptr;
    if (bank) song->bank = borrowedBank(*bank);
    if (!loadSongInstruments(*song)) return nullptr;
    startSong(*song);
    return song;
}

std::shared_ptr<const InstrumentBank> borrowedBank(const DlsCollection& collection) {
    return std::make_shared<DlsBank>(std::shared_ptr<const DlsCollection>(std::shared_ptr<void>(), &collection));
}

std::vector<uint8_t> readAll(SongPlayer& player, int32_t readSize, size_t maxBytes) {
    std::vector<uint8_t> out, piece(size_t(readSize > 0 ? readSize : 4096));
    while (out.size() < maxBytes) {
        const int32_t got = player.read(piece.data(), int32_t(piece.size()));
        if (got <= 0) break;
        out.insert(out.end(), piece.begin(), piece.begin() + got);
    }
    return out;
}

}  // namespace tz::test

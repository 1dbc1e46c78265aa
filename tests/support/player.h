// Songs opened the way the plug-in opens them, through the song player, for
// the tests, the fuzzers and the benchmarks.
#pragma once
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "song/song_player.h"

namespace tz {
struct DlsCollection;
class InstrumentBank;
}

namespace tz::test {

// Settings that play from the bank file at `bank` (and the patches at
// `patches`, when given).
Settings bankSettings(const std::filesystem::path& bank, const std::filesystem::path& patches = {});

// The small test bank (test_bank.h) as a file of this process's own,
// written at the first call and removed at exit.
const std::filesystem::path& smallGmBankFile();

// A song held in memory opened with `settings`; null when it cannot be.
std::unique_ptr<SongPlayer> openSong(const std::vector<uint8_t>& midi, const Settings& settings);

// A song read, loaded and started by the same assembly steps as the
// player's, from a collection held in memory (which must outlive the song),
// for engine tests in formats the player does not deliver (mono, 8-bit,
// other rates). Null when the song cannot be read.
std::unique_ptr<MidiSong> assembleSong(const SongOptions& options, const std::vector<uint8_t>& midi,
                                       const DlsCollection* bank);

// A collection the caller keeps alive, as a song's bank.
std::shared_ptr<const InstrumentBank> borrowedBank(const DlsCollection& collection);

// Everything the player delivers from where it stands, read in pieces of
// `readSize` bytes, up to `maxBytes`.
std::vector<uint8_t> readAll(SongPlayer& player, int32_t readSize = 4096, size_t maxBytes = SIZE_MAX);

}  // namespace tz::test

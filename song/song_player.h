// The song player: the one way in for every caller. It opens a song (from a
// file or from memory) with a settings record, tells its format, length and
// texts, hands out PCM in any amounts and seeks. It holds what a song needs
// while it plays: the instrument configuration, the bank's index and file,
// and the instruments, which it loads when the song is first read (a caller
// that opens songs only to learn their lengths reads no wave).
//
//   open: player -> settings -> MIDI reader -> bank index -> (first read)
//         instrument loading -> engine
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "midi/song_facts.h"
#include "platform/error.h"
#include "records/midi_song.h"
#include "song/bank_cache.h"
#include "song/settings.h"

namespace tz {

struct InstrumentConfiguration;

// What the player delivers: interleaved signed 16-bit little-endian stereo.
struct PlayerFormat {
    int32_t sampleRate = 44100;
    int32_t channels = 2;
    int32_t bitsPerSample = 16;
};

class SongPlayer {
public:
    // Opens the song at a path (UTF-16, or UTF-8). Null, with the reason in
    // `why`, when it cannot be played: the song is not a readable MIDI file,
    // or there is neither a bank nor a patch configuration to play from.
    static std::unique_ptr<SongPlayer> open(std::u16string_view path, const Settings& settings,
                                            Error* why = nullptr) noexcept;
    static std::unique_ptr<SongPlayer> open(std::string_view utf8Path, const Settings& settings,
                                            Error* why = nullptr) noexcept;
    // Opens a song held in memory (copied as far as the song needs it).
    static std::unique_ptr<SongPlayer> openMemory(std::span<const uint8_t> file, const Settings& settings,
                                                  Error* why = nullptr) noexcept;

    SongPlayer(const SongPlayer&) = delete;
    SongPlayer& operator=(const SongPlayer&) = delete;
    ~SongPlayer();

    static constexpr PlayerFormat format() { return {}; }
    // The length as the host is told it: whole milliseconds, and seconds.
    uint32_t lengthMilliseconds() const;
    double lengthSeconds() const { return lengthMilliseconds() / 1000.0; }
    // The song's texts (the first track's name, its copyright notices) and
    // counts, as read from the file.
    const SongFacts& facts() const { return facts_; }

    // Copies up to `length` bytes of PCM into buffer: the bytes delivered,
    // or -1 once the song has ended (0 for a length of 0).
    int32_t read(uint8_t* buffer, int32_t length) noexcept;
    // Moves to `seconds` (negative: the start; beyond the end: the end) and
    // returns the position reached.
    double seek(double seconds) noexcept;

    // Loads the song's instruments now, as the first read does otherwise.
    // False, with the reason in loadError(), when the bank changed on disk
    // since the open (the waves it could not give stay silent) or memory ran
    // out.
    bool loadInstruments() noexcept;
    // The bank the song plays from (empty: none, patches only), and why the
    // instruments could not all load (None, BankChanged, OutOfMemory).
    const std::u16string& bankPath() const { return bankPath_; }
    Error loadError() const { return loadError_; }
    // The engine's record, for tools and tests that look inside.
    const MidiSong& song() const { return *song_; }

private:
    SongPlayer() = default;
    static std::unique_ptr<SongPlayer> assemble(std::span<const uint8_t> file, const Settings& settings, Error& why);

    std::shared_ptr<const InstrumentConfiguration> configuration_;
    OpenBank bank_;
    std::u16string bankPath_;
    // Declared after what its banks point into, so that it goes first.
    std::unique_ptr<MidiSong> song_;
    SongFacts facts_;
    bool instrumentsPending_ = false;
    Error loadError_ = Error::None;
    uint8_t block_[4096];
    int32_t blockFill_ = 0;
    int32_t blockPos_ = 0;
};

// What the settings ask of the engine, at an output rate.
EngineSettings engineSettings(const Settings& settings, int32_t rate);

// Milliseconds of t samples at a rate, as the host is told positions.
uint32_t samplesToMilliseconds(int32_t samples, int32_t rate);

}  // namespace tz

#include "song/song_player.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "instruments/config.h"
#include "instruments/patch_config.h"
#include "midi/smf_reader.h"
#include "platform/byte_source.h"
#include "platform/paths.h"
#include "song/song_assembly.h"
#include "synth/chorus.h"
#include "synth/render.h"
#include "synth/reverb.h"

namespace tz {

namespace {

// The configuration of the patch configuration file read last, kept while
// that file is unchanged. A file that cannot be read gives the default
// configuration: no patches.
std::shared_ptr<const InstrumentConfiguration> patchConfiguration(const std::u16string& path) {
    if (path.empty()) return defaultInstrumentConfiguration();
    static std::mutex mutex;
    static std::u16string cachedPath;
    static FileIdentity cachedIdentity;
    static std::shared_ptr<const InstrumentConfiguration> cached;

    std::unique_ptr<FileSource> file = FileSource::open(path);
    if (!file) return defaultInstrumentConfiguration();
    const FileIdentity identity = file->identity();
    file.reset();
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (cached && cachedPath == path && cachedIdentity == identity) return cached;
    }
    PatchConfigReport report;
    std::shared_ptr<const InstrumentConfiguration> fresh = readPatchConfiguration(utf16ToUtf8(path), report);
    if (!fresh) return defaultInstrumentConfiguration();
    std::lock_guard<std::mutex> lock(mutex);
    cachedPath = path;
    cachedIdentity = identity;
    cached = fresh;
    return fresh;
}

// A whole song file, as the plug-in opens files.
Error readSongFile(std::u16string_view path, std::vector<uint8_t>& bytes) {
    std::unique_ptr<FileSource> file = FileSource::open(path);
    if (!file) return Error::SongUnreadable;
    if (file->size() > kMaxMidiFileBytes) return Error::SongTooLarge;
    bytes.resize(size_t(file->size()));
    if (!file->read(0, bytes.data(), bytes.size())) return Error::SongUnreadable;
    return Error::None;
}

// The bank the settings choose, else the system's. A bank named in the
// settings that cannot be used gives way to the system's; when neither can,
// the reason is the named bank's (or, without one, that there is no bank).
OpenBank chooseBank(const Settings& settings, std::u16string& path, Error& why) {
    Error named = Error::None;
    if (!settings.bank.empty()) {
        OpenBank bank = openBank(settings.bank, &named);
        if (bank) {
            path = settings.bank;
            return bank;
        }
    }
    Error system = Error::None;
    OpenBank bank = openSystemBank(&system);
    if (bank) {
        path = systemBankPath();
        return bank;
    }
    why = named != Error::None ? named : system == Error::BankUnreadable ? Error::NoBank : system;
    return bank;
}

}  // namespace

EngineSettings engineSettings(const Settings& settings, int32_t rate) {
    EngineSettings engine;
    engine.sound = settings.sound;
    engine.voices = settings.voices;
    if (settings.sound == SoundProfile::Standard) {
        engine.tailFrames = int32_t(std::clamp(settings.tail, 0.0, kMaxTailSeconds) * rate);
        engine.reverb = settings.reverb < 0 ? kDefaultReverbLevel : float(std::min(settings.reverb, 1.0));
        engine.chorus = settings.chorus < 0 ? kDefaultChorusLevel : float(std::min(settings.chorus, 1.0));
    }
    return engine;
}

uint32_t samplesToMilliseconds(int32_t samples, int32_t rate) {
    if (rate <= 0) return 0;
    // Formed in 64 bits: the whole-second part times 1000 no longer wraps for
    // songs longer than about 24 days of samples; within that range the
    // result is the same as in 32 bits.
    int64_t t = samples, r = rate;
    return uint32_t((t / r) * 1000 + ((t % r) * 1000) / r);
}

SongPlayer::~SongPlayer() = default;

std::unique_ptr<SongPlayer> SongPlayer::assemble(std::span<const uint8_t> file, const Settings& settings,
                                                 Error& why) {
    std::unique_ptr<SongPlayer> player(new SongPlayer);
    player->configuration_ = patchConfiguration(settings.patches);

    constexpr PlayerFormat kFormat = format();
    SongOptions options;
    options.format.channels = uint8_t(kFormat.channels);
    options.format.code = uint16_t(SampleFormat::kSigned | kFormat.bitsPerSample);
    options.rate = kFormat.sampleRate;
    options.bufferFrames = uint16_t(sizeof player->block_ / (kFormat.channels * kFormat.bitsPerSample / 8));
    options.engine = engineSettings(settings, kFormat.sampleRate);

    player->song_ = readSong(options, file, player->configuration_, &why, &player->facts_);
    if (!player->song_) return nullptr;

    Error bankError = Error::None;
    player->bank_ = chooseBank(settings, player->bankPath_, bankError);
    // Without a bank the patches alone may play the song.
    if (!player->bank_ && !namesPatches(*player->configuration_)) {
        why = bankError;
        return nullptr;
    }
    player->song_->bank = player->bank_.bank;
    startSong(*player->song_);
    player->instrumentsPending_ = true;
    why = Error::None;
    return player;
}

std::unique_ptr<SongPlayer> SongPlayer::open(std::u16string_view path, const Settings& settings, Error* why) noexcept {
    Error error = Error::None;
    std::unique_ptr<SongPlayer> player;
    try {
        std::vector<uint8_t> bytes;
        error = readSongFile(path, bytes);
        if (error == Error::None) player = assemble(bytes, settings, error);
    } catch (const std::bad_alloc&) {
        player.reset();
        error = Error::OutOfMemory;
    }
    if (why) *why = error;
    return player;
}

std::unique_ptr<SongPlayer> SongPlayer::open(std::string_view utf8Path, const Settings& settings, Error* why) noexcept {
    std::u16string path;
    try {
        path = utf8ToUtf16(utf8Path);
    } catch (const std::bad_alloc&) {
        if (why) *why = Error::OutOfMemory;
        return nullptr;
    }
    return open(std::u16string_view(path), settings, why);
}

std::unique_ptr<SongPlayer> SongPlayer::openMemory(std::span<const uint8_t> file, const Settings& settings,
                                                   Error* why) noexcept {
    Error error = Error::None;
    std::unique_ptr<SongPlayer> player;
    try {
        if (file.size() > kMaxMidiFileBytes)
            error = Error::SongTooLarge;
        else
            player = assemble(file, settings, error);
    } catch (const std::bad_alloc&) {
        player.reset();
        error = Error::OutOfMemory;
    }
    if (why) *why = error;
    return player;
}

uint32_t SongPlayer::lengthMilliseconds() const {
    return samplesToMilliseconds(song_->events.back().time, song_->outputRate);
}

bool SongPlayer::loadInstruments() noexcept {
    if (!instrumentsPending_) return loadError_ == Error::None;
    instrumentsPending_ = false;
    // A bank changed on disk since the open leaves the waves it could not
    // give silent, as any instrument the bank lacks.
    try {
        if (!loadSongInstruments(*song_, bank_.file.get())) loadError_ = Error::BankChanged;
    } catch (const std::bad_alloc&) {
        loadError_ = Error::OutOfMemory;
    }
    bank_.file.reset();
    return loadError_ == Error::None;
}

int32_t SongPlayer::read(uint8_t* buffer, int32_t length) noexcept {
    if (length <= 0) return 0;
    if (!buffer) return -1;
    loadInstruments();
    int32_t copied = 0;
    int32_t remaining = length;
    for (;;) {
        const int32_t available = blockFill_ - blockPos_;
        if (available >= remaining) {
            std::memcpy(buffer + copied, block_ + blockPos_, size_t(remaining));
            blockPos_ += remaining;
            return copied + remaining;
        }
        if (available > 0) {
            std::memcpy(buffer + copied, block_ + blockPos_, size_t(available));
            copied += available;
            remaining -= available;
        }
        blockPos_ = 0;
        blockFill_ = renderBlock(*song_, block_);
        if (blockFill_ <= 0) {
            blockFill_ = 0;
            return copied > 0 ? copied : -1;
        }
    }
}

double SongPlayer::seek(double seconds) noexcept {
    // Negative (and NaN) positions seek to the start; positions beyond what
    // 32-bit milliseconds hold go to the end.
    uint32_t ms = 0;
    if (seconds > 0.0) {
        const double m = seconds * 1000.0;
        ms = m >= 4294967295.0 ? 0xFFFFFFFFu : uint32_t(int64_t(m));
    }
    blockFill_ = blockPos_ = 0;
    seekPlayback(*song_, ms);
    return samplesToMilliseconds(song_->currentTime, song_->outputRate) / 1000.0;
}

}  // namespace tz

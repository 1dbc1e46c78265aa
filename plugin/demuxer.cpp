#include "plugin/demuxer.h"

#include <cstring>
#include <new>
#include <string>

#include "instruments/config.h"
#include "platform/byte_source.h"
#include "platform/input_stream.h"
#include "platform/paths.h"
#include "song/song_assembly.h"
#include "song/system_bank.h"
#include "synth/render.h"

namespace tz {

namespace {

// The source belongs to the host and carries no type information of ours, so
// the dynamic type check of the sanitizer builds cannot apply to this call.
#if defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 8)
__attribute__((no_sanitize("vptr")))
#endif
const HostChar* askSourcePath(ISource* source) {
    return source->path();
}

}  // namespace

uint32_t samplesToMilliseconds(int32_t samples, int32_t rate) {
    if (rate <= 0) return 0;
    // Formed in 64 bits: the whole-second part times 1000 no longer wraps for
    // songs longer than about 24 days of samples; within that range the
    // result is the same as in 32 bits.
    int64_t t = samples, r = rate;
    return uint32_t((t / r) * 1000 + ((t % r) * 1000) / r);
}

void* CDemuxer::destroy(uint32_t flags) noexcept {
    if (flags & 1) ::operator delete(this);
    return this;
}

CMidiDemuxer::CMidiDemuxer() { acquireInstrumentConfiguration(); }

CMidiDemuxer::~CMidiDemuxer() {
    releaseInstrumentConfiguration();
    close();
}

void* CMidiDemuxer::destroy(uint32_t flags) noexcept {
    this->~CMidiDemuxer();
    if (flags & 1) ::operator delete(this);
    return this;
}

void CMidiDemuxer::close() noexcept {
    song.reset();
    bank = OpenBank{};
    instrumentsPending = false;
    discardBuffered();
}

bool CMidiDemuxer::open(ISource* source) noexcept {
    close();
    const HostChar* path = nullptr;
    try {
        if (source) path = askSourcePath(source);
    } catch (...) {
        path = nullptr;
    }
    return openPath(path);
}

bool CMidiDemuxer::openPath(const HostChar* path) noexcept {
    close();
    std::memset(&outputFormat, 0, sizeof outputFormat);
    outputFormat.bitsPerSample = 16;
    outputFormat.channelCount = 2;
    outputFormat.sampleRate = 44100;
    outputFormat.kind = 1;
    try {
        StreamPtr midiStream;
        if (path) {
            if (std::FILE* file = openFileUtf16(path)) {
                midiStream.reset(createFileStream(file, 1));
                if (!midiStream) std::fclose(file);
            }
        }
        options.format.channels = uint8_t(outputFormat.channelCount);
        options.format.code = uint16_t(SampleFormat::kSigned | (outputFormat.bitsPerSample == 16 ? 16 : 8));
        options.rate = int32_t(outputFormat.sampleRate);
        options.bufferFrames =
            uint16_t(4096 / (outputFormat.channelCount * outputFormat.bitsPerSample / 8));

        bank = openSystemBank();
        if (midiStream && bank) song = readSong(options, midiStream.get(), bank.collection.get());
        midiStream.reset();
        if (!song) {
            bank = OpenBank{};
            return false;
        }
        outputFormat.lengthSeconds =
            samplesToMilliseconds(song->events.back().time, song->outputRate) / 1000.0;
        startSong(*song);
        instrumentsPending = true;
        return true;
    } catch (...) {
        song.reset();
        bank = OpenBank{};
        outputFormat.lengthSeconds = 0.0;
        return false;
    }
}

void CMidiDemuxer::loadInstrumentsOnce() noexcept {
    if (!instrumentsPending) return;
    instrumentsPending = false;
    // A bank changed on disk since the open leaves the waves it could not
    // give silent, as any instrument the bank lacks.
    try {
        loadSongInstruments(*song, bank.file.get());
    } catch (...) {
    }
    bank.file.reset();
}

int32_t CMidiDemuxer::read(uint8_t* buffer, int32_t length) noexcept {
    if (!song) return -1;
    if (length <= 0) return 0;
    if (!buffer) return -1;
    loadInstrumentsOnce();
    int32_t copied = 0;
    int32_t remaining = length;
    for (;;) {
        int32_t available = bufferFill - bufferPos;
        if (available >= remaining) {
            std::memcpy(buffer + copied, pcmBuffer + bufferPos, size_t(remaining));
            bufferPos += remaining;
            return copied + remaining;
        }
        if (available > 0) {
            std::memcpy(buffer + copied, pcmBuffer + bufferPos, size_t(available));
            copied += available;
            remaining -= available;
        }
        bufferPos = 0;
        bufferFill = renderBlock(*song, pcmBuffer);
        if (bufferFill <= 0) {
            bufferFill = 0;
            return copied > 0 ? copied : -1;
        }
    }
}

void CMidiDemuxer::seek(double* seconds) noexcept {
    if (!song || !seconds) return;
    double requested = *seconds;
    // Negative (and NaN) positions seek to the start; positions beyond what
    // 32-bit milliseconds hold go to the end.
    uint32_t ms = 0;
    if (requested > 0.0) {
        double m = requested * 1000.0;
        ms = m >= 4294967295.0 ? 0xFFFFFFFFu : uint32_t(int64_t(m));
    }
    discardBuffered();
    seekPlayback(*song, ms);
    *seconds = samplesToMilliseconds(song->currentTime, song->outputRate) / 1000.0;
}

}  // namespace tz

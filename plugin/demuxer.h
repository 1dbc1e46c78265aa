// The MIDI demuxer: one per file the host plays.
#pragma once
#include <cstdint>
#include <memory>

#include "plugin/host_abi.h"
#include "records/midi_song.h"
#include "song/system_bank.h"

namespace tz {

class CDemuxer : public IDemuxer {
public:
    bool open(ISource*) noexcept override { return false; }
    void close() noexcept override {}
    void seek(double*) noexcept override {}
    int32_t read(uint8_t*, int32_t) noexcept override { return 0; }
    DemuxerFormat* format() noexcept override { return &outputFormat; }
    void release() noexcept override { destroy(1); }
    void* destroy(uint32_t flags) noexcept override;

protected:
    CDemuxer() = default;
    ~CDemuxer() = default;
    DemuxerFormat outputFormat{};
};

class CMidiDemuxer final : public CDemuxer {
public:
    CMidiDemuxer();
    bool open(ISource* source) noexcept override;
    void close() noexcept override;
    void seek(double* seconds) noexcept override;
    int32_t read(uint8_t* buffer, int32_t length) noexcept override;
    void* destroy(uint32_t flags) noexcept override;

    // Opens by path directly (what open does after asking the source).
    bool openPath(const HostChar* path) noexcept;
    const MidiSong* currentSong() const { return song.get(); }

private:
    ~CMidiDemuxer();
    void discardBuffered() { bufferFill = bufferPos = 0; }

    // A host may open a song only to learn its length, so the song's
    // instruments are loaded when it is first read: until then the bank
    // file stays open with its index, so that the waves come from the very
    // file the index describes.
    void loadInstrumentsOnce() noexcept;

    std::unique_ptr<MidiSong> song;
    SongOptions options;
    OpenBank bank;
    bool instrumentsPending = false;
    uint8_t pcmBuffer[4096];
    int32_t bufferFill = 0;
    int32_t bufferPos = 0;
};

// Milliseconds of t samples at a rate, as the host is told positions.
uint32_t samplesToMilliseconds(int32_t samples, int32_t rate);

}  // namespace tz

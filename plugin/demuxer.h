// The MIDI demuxer: one per file the host plays, a translation of the host's
// calls onto the song player.
#pragma once
#include <cstdint>
#include <memory>

#include "plugin/host_abi.h"
#include "song/song_player.h"

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
    CMidiDemuxer() = default;
    bool open(ISource* source) noexcept override;
    void close() noexcept override;
    void seek(double* seconds) noexcept override;
    int32_t read(uint8_t* buffer, int32_t length) noexcept override;
    void* destroy(uint32_t flags) noexcept override;

    // Opens by path directly (what open does after asking the source).
    bool openPath(const HostChar* path) noexcept;
    const SongPlayer* player() const { return player_.get(); }

private:
    ~CMidiDemuxer() = default;

    std::unique_ptr<SongPlayer> player_;
};

// The settings the plug-in plays with: those of the settings file for the
// folder the plug-in library lies in.
std::shared_ptr<const SettingsFile> pluginSettings();

}  // namespace tz

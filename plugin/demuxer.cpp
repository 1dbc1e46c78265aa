#include "plugin/demuxer.h"

#include <cstring>

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

// Any object of the plug-in's own: its address tells which module holds it.
const char kAnchor = 0;

}  // namespace

std::shared_ptr<const SettingsFile> pluginSettings() { return settingsOfModule(&kAnchor); }

void* CDemuxer::destroy(uint32_t flags) noexcept {
    if (flags & 1) ::operator delete(this);
    return this;
}

void* CMidiDemuxer::destroy(uint32_t flags) noexcept {
    this->~CMidiDemuxer();
    if (flags & 1) ::operator delete(this);
    return this;
}

void CMidiDemuxer::close() noexcept { player_.reset(); }

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
    constexpr PlayerFormat kFormat = SongPlayer::format();
    outputFormat.bitsPerSample = kFormat.bitsPerSample;
    outputFormat.channelCount = kFormat.channels;
    outputFormat.sampleRate = uint32_t(kFormat.sampleRate);
    outputFormat.kind = 1;
    if (!path) return false;
    try {
        std::shared_ptr<const SettingsFile> settings = pluginSettings();
        player_ = SongPlayer::open(std::u16string_view(path), settings->settings);
        if (!player_) return false;
        outputFormat.lengthSeconds = player_->lengthSeconds();
        return true;
    } catch (...) {
        player_.reset();
        outputFormat.lengthSeconds = 0.0;
        return false;
    }
}

int32_t CMidiDemuxer::read(uint8_t* buffer, int32_t length) noexcept {
    if (!player_) return -1;
    return player_->read(buffer, length);
}

void CMidiDemuxer::seek(double* seconds) noexcept {
    if (!player_ || !seconds) return;
    *seconds = player_->seek(*seconds);
}

}  // namespace tz

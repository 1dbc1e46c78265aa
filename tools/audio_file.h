// The files tzmidi renders to: WAV, written here, and FLAC, Ogg Vorbis and
// Ogg Opus through libsndfile where the build has it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tz {

enum class AudioFileType { Wav, Flac, Ogg, Opus };

// "wav", "flac", "ogg" or "opus", in any case.
std::optional<AudioFileType> audioFileTypeNamed(std::string_view name);
// The type a file name's extension names (.wav .flac .ogg .oga .opus).
std::optional<AudioFileType> audioFileTypeOf(const std::string& path);
const char* extensionOf(AudioFileType type);  // "wav", ...
// Why this build cannot write the type; empty when it can.
std::string unavailableReason(AudioFileType type);
// The types this build writes, for --help and --version: "wav flac ogg opus".
std::string writableTypes();

struct AudioTags {
    std::string title;
    std::string copyright;
};

// Takes the plug-in's PCM (16-bit little-endian stereo at 44.1 kHz) in pieces
// of any size.
class AudioWriter {
public:
    virtual ~AudioWriter() = default;
    virtual bool write(const uint8_t* pcm, size_t bytes) = 0;
    // Completes the file. False when it could not be completed.
    virtual bool finish() = 0;
    // Closes and deletes a file that will not be completed.
    virtual void discard() = 0;
    const std::string& error() const { return error_; }

protected:
    std::string error_;
};

// The path "-" is standard output, which takes WAV only. Null, with the
// reason in error, when the file cannot be made.
std::unique_ptr<AudioWriter> createAudioWriter(const std::string& path, AudioFileType type, const AudioTags& tags,
                                               std::string& error);

}  // namespace tz

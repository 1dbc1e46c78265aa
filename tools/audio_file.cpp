#include "tools/audio_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/byte_writer.h"
#include "platform/paths.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif
#ifdef TZ_HAVE_SNDFILE
#include <sndfile.h>
#endif
#ifdef TZ_HAVE_SAMPLERATE
#include <samplerate.h>
#endif

namespace tz {

namespace {

constexpr int kRate = 44100;
constexpr size_t kFrameBytes = 4;

struct TypeName {
    AudioFileType type;
    const char* name;
};
constexpr TypeName kTypes[] = {{AudioFileType::Wav, "wav"},
                               {AudioFileType::Flac, "flac"},
                               {AudioFileType::Ogg, "ogg"},
                               {AudioFileType::Opus, "opus"}};

std::string lowercase(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Deletes a file left incomplete (never a folder of that name).
void removeFile(const std::string& path) {
    std::error_code ignored;
    const std::filesystem::path p(std::u8string(path.begin(), path.end()));
    if (std::filesystem::is_regular_file(p, ignored)) std::filesystem::remove(p, ignored);
}

// The 44-byte header of a 16-bit stereo 44.1 kHz WAV file.
Bytes wavHeader(uint32_t dataBytes) {
    Bytes h;
    h.reserve(44);
    putTag(h, "RIFF");
    putU32le(h, 36 + dataBytes);
    putTag(h, "WAVE");
    putTag(h, "fmt ");
    putU32le(h, 16);
    putU16le(h, 1);          // PCM
    putU16le(h, 2);          // channels
    putU32le(h, kRate);      // rate
    putU32le(h, kRate * 4);  // bytes per second
    putU16le(h, 4);          // block align
    putU16le(h, 16);         // bits
    putTag(h, "data");
    putU32le(h, dataBytes);
    return h;
}

// A stream cannot go back to fill in the sizes, so it declares the length
// readers such as sox take for "not known" and read to the end of, where
// 0xFFFFFFFF draws warnings from them; readers that trust it stop after 3 h 22 min.
constexpr uint32_t kUnknownWavLength = 0x7FFFF000;

class WavWriter final : public AudioWriter {
public:
    WavWriter(std::FILE* file, std::string path) : file_(file), path_(std::move(path)) {}
    ~WavWriter() override {
        if (file_ && file_ != stdout) std::fclose(file_);
    }

    bool start() {
        const Bytes header = wavHeader(streaming() ? kUnknownWavLength : 0);
        return put(header.data(), header.size());
    }
    bool write(const uint8_t* pcm, size_t bytes) override {
        total_ += bytes;
        return put(pcm, bytes);
    }
    bool finish() override {
        if (streaming()) {
            if (std::fflush(file_) != 0) return fail();
            return true;
        }
        const uint32_t data = uint32_t(std::min<uint64_t>(total_, 0xFFFFFFFFull - 36));
        const Bytes header = wavHeader(data);
        if (std::fseek(file_, 0, SEEK_SET) != 0 || !put(header.data(), header.size())) return false;
        std::FILE* f = file_;
        file_ = nullptr;
        if (std::fclose(f) != 0) {
            error_ = "cannot finish '" + path_ + "': " + std::strerror(errno);
            return false;
        }
        return true;
    }
    void discard() override {
        if (streaming() || !file_) return;
        std::fclose(file_);
        file_ = nullptr;
        removeFile(path_);
    }

private:
    bool streaming() const { return file_ == stdout; }
    bool put(const uint8_t* data, size_t size) {
        if (std::fwrite(data, 1, size, file_) == size) return true;
        return fail();
    }
    bool fail() {
        error_ = "cannot write '" + path_ + "': " + std::strerror(errno);
        return false;
    }

    std::FILE* file_;
    std::string path_;
    uint64_t total_ = 0;
};

#ifdef TZ_HAVE_SNDFILE
// FLAC and Ogg through libsndfile. Opus codes only 48 kHz among the rates
// near ours, so its audio is resampled first.
class SndfileWriter final : public AudioWriter {
public:
    explicit SndfileWriter(std::string path) : path_(std::move(path)) {}
    ~SndfileWriter() override {
        if (file_) sf_close(file_);
#ifdef TZ_HAVE_SAMPLERATE
        if (resampler_) src_delete(resampler_);
#endif
    }

    bool open(AudioFileType type, const AudioTags& tags) {
        SF_INFO info{};
        info.samplerate = kRate;
        info.channels = 2;
        switch (type) {
        case AudioFileType::Flac: info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16; break;
        case AudioFileType::Ogg: info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS; break;
        default: info.format = SF_FORMAT_OGG | SF_FORMAT_OPUS; break;
        }
        if (type == AudioFileType::Opus) {
#ifdef TZ_HAVE_SAMPLERATE
            int status = 0;
            resampler_ = src_new(SRC_SINC_MEDIUM_QUALITY, 2, &status);
            if (!resampler_) {
                error_ = std::string("cannot resample for Opus: ") + src_strerror(status);
                return false;
            }
            info.samplerate = 48000;
#endif
        }
        // libsndfile takes the path's bytes as they are: UTF-8 on the
        // systems that have it here.
        file_ = sf_open(path_.c_str(), SFM_WRITE, &info);
        if (!file_) {
            error_ = "cannot write '" + path_ + "': " + sf_strerror(nullptr);
            removeFile(path_);
            return false;
        }
        // Tags go before the first samples.
        if (!tags.title.empty()) sf_set_string(file_, SF_STR_TITLE, tags.title.c_str());
        if (!tags.copyright.empty()) sf_set_string(file_, SF_STR_COPYRIGHT, tags.copyright.c_str());
        sf_set_string(file_, SF_STR_SOFTWARE, "tzmidi");
        return true;
    }

    bool write(const uint8_t* pcm, size_t bytes) override {
        // Reads need not end on whole frames; the rest waits for the next.
        pending_.insert(pending_.end(), pcm, pcm + bytes);
        const size_t frames = pending_.size() / kFrameBytes;
        samples_.resize(frames * 2);
        for (size_t i = 0; i < frames * 2; ++i)
            samples_[i] = int16_t(uint16_t(pending_[2 * i] | pending_[2 * i + 1] << 8));
        pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(frames * kFrameBytes));
        return put(frames, false);
    }

    bool finish() override {
        if (!put(0, true)) return false;
        SNDFILE* f = file_;
        file_ = nullptr;
        if (sf_close(f) != 0) {
            error_ = "cannot finish '" + path_ + "'";
            return false;
        }
        return true;
    }

    void discard() override {
        if (file_) sf_close(file_);
        file_ = nullptr;
        removeFile(path_);
    }

private:
    bool put(size_t frames, bool last) {
#ifdef TZ_HAVE_SAMPLERATE
        if (resampler_) return resample(frames, last);
#endif
        (void)last;
        if (frames == 0) return true;
        if (sf_writef_short(file_, samples_.data(), sf_count_t(frames)) != sf_count_t(frames)) {
            error_ = "cannot write '" + path_ + "': " + sf_strerror(file_);
            return false;
        }
        return true;
    }

#ifdef TZ_HAVE_SAMPLERATE
    bool resample(size_t frames, bool last) {
        constexpr double kRatio = 48000.0 / kRate;
        std::vector<float> in(frames * 2);
        src_short_to_float_array(samples_.data(), in.data(), int(in.size()));
        std::vector<float> out((frames + 1024) * 2 * 2);
        SRC_DATA data{};
        data.data_in = in.data();
        data.input_frames = long(frames);
        data.src_ratio = kRatio;
        data.end_of_input = last ? 1 : 0;
        for (;;) {
            data.data_out = out.data();
            data.output_frames = long(out.size() / 2);
            if (int status = src_process(resampler_, &data); status != 0) {
                error_ = std::string("cannot resample for Opus: ") + src_strerror(status);
                return false;
            }
            const sf_count_t made = data.output_frames_gen;
            if (made > 0 && sf_writef_float(file_, out.data(), made) != made) {
                error_ = "cannot write '" + path_ + "': " + sf_strerror(file_);
                return false;
            }
            data.data_in += data.input_frames_used * 2;
            data.input_frames -= data.input_frames_used;
            // Done when the input is used up and, at the end, nothing more comes out.
            if (data.input_frames == 0 && (!last || made == 0)) return true;
        }
    }
    SRC_STATE* resampler_ = nullptr;
#endif

    std::string path_;
    SNDFILE* file_ = nullptr;
    std::vector<uint8_t> pending_;
    std::vector<int16_t> samples_;
};
#endif

}  // namespace

std::optional<AudioFileType> audioFileTypeNamed(std::string_view name) {
    const std::string lower = lowercase(name);
    for (const TypeName& t : kTypes)
        if (lower == t.name) return t.type;
    return std::nullopt;
}

std::optional<AudioFileType> audioFileTypeOf(const std::string& path) {
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || path.find_first_of("/\\", dot) != std::string::npos) return std::nullopt;
    const std::string extension = lowercase(path.substr(dot + 1));
    if (extension == "oga") return AudioFileType::Ogg;
    return audioFileTypeNamed(extension);
}

const char* extensionOf(AudioFileType type) {
    for (const TypeName& t : kTypes)
        if (t.type == type) return t.name;
    return "wav";
}

std::string unavailableReason(AudioFileType type) {
    if (type == AudioFileType::Wav) return {};
#ifndef TZ_HAVE_SNDFILE
    return std::string("this tzmidi writes only WAV files: it was built without libsndfile, which writes ") +
           extensionOf(type) + " files";
#else
#ifndef TZ_HAVE_SAMPLERATE
    if (type == AudioFileType::Opus) return "this tzmidi cannot write Opus: it was built without libsamplerate";
#endif
    return {};
#endif
}

std::string writableTypes() {
    std::string out;
    for (const TypeName& t : kTypes)
        if (unavailableReason(t.type).empty()) {
            if (!out.empty()) out += ' ';
            out += t.name;
        }
    return out;
}

std::unique_ptr<AudioWriter> createAudioWriter(const std::string& path, AudioFileType type, const AudioTags& tags,
                                               std::string& error) {
    if (std::string why = unavailableReason(type); !why.empty()) {
        error = why;
        return nullptr;
    }
    if (type == AudioFileType::Wav) {
        std::FILE* file = nullptr;
        if (path == "-") {
#ifdef _WIN32
            _setmode(_fileno(stdout), _O_BINARY);
#endif
            file = stdout;
        } else {
            file = openFileUtf8(path, "wb");
        }
        if (!file) {
            error = "cannot write '" + path + "': " + std::strerror(errno);
            return nullptr;
        }
        auto writer = std::make_unique<WavWriter>(file, path == "-" ? "standard output" : path);
        if (!writer->start()) {
            error = writer->error();
            writer->discard();
            return nullptr;
        }
        return writer;
    }
    if (path == "-") {
        error = "standard output takes only WAV";
        return nullptr;
    }
#ifdef TZ_HAVE_SNDFILE
    auto writer = std::make_unique<SndfileWriter>(path);
    if (!writer->open(type, tags)) {
        error = writer->error();
        return nullptr;
    }
    return writer;
#else
    (void)tags;
    return nullptr;
#endif
}

}  // namespace tz

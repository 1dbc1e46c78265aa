// Bytes read at chosen offsets, from a file or from memory: what the bank
// index is built from and where a song's waves are fetched. A file is read
// with positioned reads and never mapped, so a bank that shrinks or vanishes
// on disk makes a read fail instead of faulting.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace tz {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // The bytes there are (a file's size when it was opened).
    virtual uint64_t size() const = 0;
    // Copies `count` bytes from `offset`: all of them, or false.
    virtual bool read(uint64_t offset, void* out, size_t count) const = 0;
};

// Bytes held in memory (a copy, owned).
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    uint64_t size() const override { return bytes_.size(); }
    bool read(uint64_t offset, void* out, size_t count) const override;

private:
    std::vector<uint8_t> bytes_;
};

// What tells a file from the one that was at its path before: the same size,
// last write and file (device and inode, or volume and file index) mean the
// same contents.
struct FileIdentity {
    uint64_t size = 0;
    int64_t modified = 0;  // last write, in the finest unit the system keeps
    uint64_t volume = 0;
    uint64_t file = 0;
    bool operator==(const FileIdentity&) const = default;
};

// A regular file open for reading. Others may read, write, rename or delete
// it meanwhile; reads past its end as it is now fail.
class FileSource final : public ByteSource {
public:
    // Opens by UTF-16 path (as openFileUtf16 does: as is on Windows, mapped
    // with mapPlatformPath on POSIX) and reads its identity. Null when it
    // cannot be opened or is not a regular file.
    static std::unique_ptr<FileSource> open(std::u16string_view path);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    uint64_t size() const override { return identity_.size; }
    bool read(uint64_t offset, void* out, size_t count) const override;
    const FileIdentity& identity() const { return identity_; }

private:
    FileSource() = default;
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int descriptor_ = -1;
#endif
    FileIdentity identity_;
};

}  // namespace tz

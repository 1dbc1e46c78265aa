// Byte sources for the file readers: a read operation with whole-item
// semantics, a close operation and an opaque context.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace tz {

struct InputStream {
    // Reads up to itemSize x itemCount bytes; returns the number of whole
    // items read (0 at the end of the data or on error).
    int32_t (*read)(void* context, void* buffer, int32_t itemSize, int32_t itemCount) = nullptr;
    int32_t (*close)(void* context) = nullptr;
    void* context = nullptr;
};

// Wraps an open file; null when memory is lacking (the file is then not closed).
InputStream* createFileStream(std::FILE* file, int32_t ownsFile) noexcept;

// A stream over bytes in memory (copied). Used for embedded data and tests.
InputStream* createMemoryStream(const uint8_t* data, size_t size) noexcept;

// Closes the stream's context and frees the stream record.
void releaseStream(InputStream* stream) noexcept;

// Reads everything that remains in the stream, up to maxBytes. Returns false
// when the data exceed maxBytes or memory is lacking.
bool readWholeStream(InputStream* stream, std::vector<uint8_t>& out, size_t maxBytes);

// Reads a whole file named by a UTF-8 path (as written, no mapping), up to
// maxBytes. False when it cannot be opened or read, is larger, or memory is
// lacking.
bool readWholeFile(const std::string& path, std::vector<uint8_t>& out, size_t maxBytes);

struct StreamDeleter {
    void operator()(InputStream* s) const noexcept { releaseStream(s); }
};
using StreamPtr = std::unique_ptr<InputStream, StreamDeleter>;

}  // namespace tz

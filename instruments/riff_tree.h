// RIFF files as a flat chunk tree over one buffer holding the file body, but
// for the data of chunks the reader chose to leave in the file (a bank's
// sample data), which are only located.
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/riff_chunks.h"

namespace tz {

class ByteSource;

constexpr int32_t kNoChunk = -1;
// The "RIFF" header before the body: identifier and size.
constexpr uint64_t kRiffHeaderSize = 8;

struct RiffChunk {
    enum Storage : uint8_t {
        InBuffer,  // the data lie in the tree's buffer at `offset`
        InFile,    // the data were left in the file, at `position`
        Gapped,    // some of the data (a child's) were left in the file
    };
    uint32_t id = 0;
    uint32_t length = 0;    // data bytes, cut to what the parent holds
    uint32_t listType = 0;  // form or list type of a container with >= 4 data bytes
    uint32_t position = 0;  // first data byte in the file body
    uint32_t offset = 0;    // first data byte in the tree's buffer (InBuffer)
    int32_t firstChild = kNoChunk;   // index into RiffTree::chunks
    int32_t nextSibling = kNoChunk;  // index into RiffTree::chunks
    Storage storage = InBuffer;
};

struct RiffTree {
    std::vector<uint8_t> buffer;    // the root chunk's data, less what was left in the file
    std::vector<RiffChunk> chunks;  // chunks[0] is the root; the rest in file order

    const RiffChunk& root() const { return chunks[0]; }
    // The chunk's data; empty when they are not all in the buffer.
    std::span<const uint8_t> data(const RiffChunk& chunk) const {
        if (chunk.storage != RiffChunk::InBuffer) return {};
        return {buffer.data() + chunk.offset, chunk.length};
    }
    // The list type of a "LIST" chunk, the identifier of any other.
    static uint32_t effectiveId(const RiffChunk& chunk) {
        return chunk.id == fourCC("LIST") ? chunk.listType : chunk.id;
    }
    const RiffChunk* child(const RiffChunk& chunk) const {
        return chunk.firstChild == kNoChunk ? nullptr : &chunks[size_t(chunk.firstChild)];
    }
    const RiffChunk* next(const RiffChunk& chunk) const {
        return chunk.nextSibling == kNoChunk ? nullptr : &chunks[size_t(chunk.nextSibling)];
    }
};

// Reads a RIFF file ("RIFF" header, body of the size it gives) from the
// source and splits it into chunks. The data of every chunk whose path of
// effective identifiers below the root is `leaveInFile` are not read: such a
// chunk is InFile (and not split, should it be a container), its ancestors
// Gapped. Null when the source does not start with "RIFF", holds less than
// the body, fails a read, or memory is lacking.
std::unique_ptr<RiffTree> readRiffTree(const ByteSource& source, std::span<const uint32_t> leaveInFile = {});

}  // namespace tz

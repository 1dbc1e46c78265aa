// RIFF files as a flat chunk tree over one buffer holding the file body.
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/riff_chunks.h"

namespace tz {

struct InputStream;

constexpr int32_t kNoChunk = -1;

struct RiffChunk {
    uint32_t id = 0;
    uint32_t length = 0;    // data bytes, cut to what the parent holds
    uint32_t listType = 0;  // form or list type of a container with >= 4 data bytes
    uint32_t offset = 0;    // first data byte in the tree's buffer
    int32_t firstChild = kNoChunk;   // index into RiffTree::chunks
    int32_t nextSibling = kNoChunk;  // index into RiffTree::chunks
};

struct RiffTree {
    std::vector<uint8_t> buffer;    // the root chunk's data: the whole file body
    std::vector<RiffChunk> chunks;  // chunks[0] is the root; the rest in file order

    const RiffChunk& root() const { return chunks[0]; }
    std::span<const uint8_t> data(const RiffChunk& chunk) const {
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

// Reads a whole RIFF file ("RIFF" header, body of the size it gives) and
// splits it into chunks. Null when the stream does not start with "RIFF",
// the body is short or memory is lacking. Does not close the stream.
std::unique_ptr<RiffTree> readRiffTree(InputStream* stream);

// Splits an already read body (the data of a "RIFF" chunk) into a tree.
std::unique_ptr<RiffTree> buildRiffTree(std::vector<uint8_t> body);

}  // namespace tz

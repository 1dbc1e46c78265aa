#include "instruments/riff_tree.h"

#include <algorithm>
#include <new>

#include "platform/byte_reader.h"
#include "platform/input_stream.h"

namespace tz {

namespace {

constexpr uint32_t kRiff = fourCC("RIFF");
constexpr uint32_t kList = fourCC("LIST");

bool isContainer(uint32_t id) { return id == kRiff || id == kList; }

// The body is read in pieces so that a size field far beyond the real file
// never makes us allocate more than the data delivered so far (times two).
constexpr size_t kReadPiece = size_t(1) << 20;

bool readBody(InputStream* stream, uint32_t size, std::vector<uint8_t>& body) {
    size_t have = 0;
    while (have < size) {
        size_t piece = std::min<size_t>(kReadPiece, size - have);
        body.resize(have + piece);
        int32_t got = stream->read(stream->context, body.data() + have, 1, int32_t(piece));
        if (got <= 0) return false;
        have += size_t(got);
        body.resize(have);
    }
    // Growing may have left up to as much again unused; the image is kept
    // as long as the bank, so give that back.
    if (body.capacity() - body.size() > body.size() / 4) body.shrink_to_fit();
    return true;
}

// Where the splitting of one container's body stands. Containers are split
// with an explicit stack, so no nesting depth can exhaust the call stack.
struct Frame {
    int32_t parent;
    int32_t lastChild;
    size_t position;
    size_t end;
};

void splitChunks(RiffTree& tree, size_t bodyStart, size_t bodyEnd) {
    std::vector<Frame> stack;
    stack.push_back({0, kNoChunk, bodyStart, bodyEnd});
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.end - frame.position <= 8) {
            stack.pop_back();
            continue;
        }
        // A reader that ends where the container does, so chunks are cut to it.
        ByteReader reader(tree.buffer.data(), frame.end);
        reader.seek(frame.position);
        RiffChunkView view;
        nextRiffChunk(reader, view);  // more than a header's bytes remain
        frame.position = reader.position();

        RiffChunk chunk;
        chunk.id = view.id;
        chunk.offset = uint32_t(view.data.data() - tree.buffer.data());
        chunk.length = uint32_t(view.data.size());

        int32_t index = int32_t(tree.chunks.size());
        if (frame.lastChild == kNoChunk)
            tree.chunks[size_t(frame.parent)].firstChild = index;
        else
            tree.chunks[size_t(frame.lastChild)].nextSibling = index;
        frame.lastChild = index;

        size_t childStart = chunk.offset;
        size_t childEnd = size_t(chunk.offset) + chunk.length;
        bool container = isContainer(chunk.id);
        if (container && chunk.length >= 4) {
            ByteReader(view.data).u32le(chunk.listType);
            childStart += 4;
        }
        tree.chunks.push_back(chunk);
        if (container && childEnd - childStart > 8) stack.push_back({index, kNoChunk, childStart, childEnd});
    }
}

}  // namespace

std::unique_ptr<RiffTree> buildRiffTree(std::vector<uint8_t> body) {
    try {
        if (body.size() > UINT32_MAX) return nullptr;
        auto tree = std::make_unique<RiffTree>();
        tree->buffer = std::move(body);
        RiffChunk root;
        root.id = kRiff;
        root.length = uint32_t(tree->buffer.size());
        size_t bodyStart = 0;
        if (root.length >= 4) {
            ByteReader reader(tree->buffer.data(), tree->buffer.size());
            reader.u32le(root.listType);
            bodyStart = 4;
        }
        tree->chunks.push_back(root);
        splitChunks(*tree, bodyStart, tree->buffer.size());
        return tree;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

std::unique_ptr<RiffTree> readRiffTree(InputStream* stream) {
    if (!stream || !stream->read) return nullptr;
    uint8_t header[8];
    if (stream->read(stream->context, header, 4, 1) != 1) return nullptr;
    if (stream->read(stream->context, header + 4, 4, 1) != 1) return nullptr;
    ByteReader reader(header, sizeof header);
    uint32_t id = 0, size = 0;
    reader.u32le(id);
    reader.u32le(size);
    if (id != kRiff) return nullptr;
    try {
        std::vector<uint8_t> body;
        if (!readBody(stream, size, body)) return nullptr;
        return buildRiffTree(std::move(body));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace tz

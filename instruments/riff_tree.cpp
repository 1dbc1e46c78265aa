#include "instruments/riff_tree.h"

#include <algorithm>
#include <new>

#include "platform/byte_reader.h"
#include "platform/byte_source.h"

namespace tz {

namespace {

constexpr uint32_t kRiff = fourCC("RIFF");
constexpr uint32_t kList = fourCC("LIST");

bool isContainer(uint32_t id) { return id == kRiff || id == kList; }

// Reads ahead of what the splitting needs start small after a stretch left in
// the file, where what follows is mostly a few headers before the next such
// stretch, and grow while every byte read is kept.
constexpr size_t kFirstReadAhead = 512;
constexpr size_t kMostReadAhead = size_t(64) << 10;

uint32_t u32At(const uint8_t* p) {
    uint32_t value = 0;
    ByteReader(p, 4).u32le(value);
    return value;
}

// Where the splitting of one container's body stands. Containers are split
// with an explicit stack, so no nesting depth can exhaust the call stack.
struct Frame {
    int32_t parent;
    int32_t lastChild;
    uint64_t position;  // in the body
    uint64_t end;
    uint32_t effectiveId;  // of the container whose body this is
};

// Copies the body into the tree's buffer in file order, less the stretches
// left in the file, while the chunks are split off it.
class TreeReader {
public:
    TreeReader(const ByteSource& source, RiffTree& tree, uint64_t bodySize)
        : source_(source), tree_(tree), bodySize_(bodySize) {}

    bool split(std::span<const uint32_t> leaveInFile);

private:
    // Makes the body before `end` present in the buffer (what is not left out).
    bool fetch(uint64_t end);
    // Leaves the stretch [start, start + length) in the file.
    bool leaveOut(uint64_t start, uint64_t length);
    // The buffer index of a body position at or after the last stretch left
    // out (positions only grow while the body is split).
    size_t at(uint64_t position) const { return size_t(position - leftOut_); }
    uint32_t u32(uint64_t position) const { return u32At(tree_.buffer.data() + at(position)); }
    bool onLeavePath(const std::vector<Frame>& stack, std::span<const uint32_t> path, uint32_t id) const;

    const ByteSource& source_;
    RiffTree& tree_;
    uint64_t bodySize_;
    uint64_t fetched_ = 0;  // body bytes before this are in the buffer or left out
    uint64_t leftOut_ = 0;  // of those, the ones left out
    size_t readAhead_ = kFirstReadAhead;
};

bool TreeReader::fetch(uint64_t end) {
    if (end <= fetched_) return true;
    const uint64_t want = std::max(end, std::min<uint64_t>(fetched_ + readAhead_, bodySize_));
    const size_t have = tree_.buffer.size();
    tree_.buffer.resize(have + size_t(want - fetched_));
    if (!source_.read(kRiffHeaderSize + fetched_, tree_.buffer.data() + have, size_t(want - fetched_))) return false;
    fetched_ = want;
    readAhead_ = std::min(readAhead_ * 2, kMostReadAhead);
    return true;
}

bool TreeReader::leaveOut(uint64_t start, uint64_t length) {
    if (!fetch(start)) return false;
    tree_.buffer.resize(at(start));  // drops what was read ahead into the stretch
    leftOut_ += length;
    fetched_ = start + length;
    readAhead_ = kFirstReadAhead;
    return true;
}

bool TreeReader::onLeavePath(const std::vector<Frame>& stack, std::span<const uint32_t> path, uint32_t id) const {
    // stack[0] is the root's body; stack[k] the body of the path's (k-1)th.
    if (path.empty() || stack.size() != path.size() || id != path.back()) return false;
    for (size_t k = 1; k < stack.size(); ++k)
        if (stack[k].effectiveId != path[k - 1]) return false;
    return true;
}

bool TreeReader::split(std::span<const uint32_t> leaveInFile) {
    RiffChunk root;
    root.id = kRiff;
    root.length = uint32_t(bodySize_);
    uint64_t bodyStart = 0;
    if (root.length >= 4) {
        if (!fetch(4)) return false;
        root.listType = u32(0);
        bodyStart = 4;
    }
    tree_.chunks.push_back(root);

    std::vector<Frame> stack;
    stack.push_back({0, kNoChunk, bodyStart, bodySize_, 0});
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.end - frame.position <= 8) {
            stack.pop_back();
            continue;
        }
        if (!fetch(frame.position + 8)) return false;
        RiffChunk chunk;
        chunk.id = u32(frame.position);
        const RiffExtent extent = riffChunkExtent(u32(frame.position + 4), size_t(frame.end - frame.position - 8));
        chunk.position = uint32_t(frame.position + 8);
        chunk.length = uint32_t(extent.length);
        frame.position += 8 + extent.advance;

        const bool container = isContainer(chunk.id);
        if (container && chunk.length >= 4) {
            if (!fetch(uint64_t(chunk.position) + 4)) return false;
            chunk.listType = u32(chunk.position);
        }

        const int32_t index = int32_t(tree_.chunks.size());
        if (frame.lastChild == kNoChunk)
            tree_.chunks[size_t(frame.parent)].firstChild = index;
        else
            tree_.chunks[size_t(frame.lastChild)].nextSibling = index;
        frame.lastChild = index;

        const uint32_t effective = RiffTree::effectiveId(chunk);
        if (onLeavePath(stack, leaveInFile, effective)) {
            chunk.storage = RiffChunk::InFile;
            if (!leaveOut(chunk.position, chunk.length)) return false;
            for (const Frame& f : stack) tree_.chunks[size_t(f.parent)].storage = RiffChunk::Gapped;
            tree_.chunks.push_back(chunk);
            continue;
        }
        chunk.offset = uint32_t(at(chunk.position));
        tree_.chunks.push_back(chunk);

        const uint64_t childStart = uint64_t(chunk.position) + (container && chunk.length >= 4 ? 4 : 0);
        const uint64_t childEnd = uint64_t(chunk.position) + chunk.length;
        if (container && childEnd - childStart > 8) stack.push_back({index, kNoChunk, childStart, childEnd, effective});
    }
    // The bytes after the last chunk of each body belong to their containers' data.
    return fetch(bodySize_);
}

}  // namespace

std::unique_ptr<RiffTree> readRiffTree(const ByteSource& source, std::span<const uint32_t> leaveInFile) {
    uint8_t header[kRiffHeaderSize];
    if (source.size() < kRiffHeaderSize || !source.read(0, header, sizeof header)) return nullptr;
    const uint32_t id = u32At(header);
    const uint32_t size = u32At(header + 4);
    // The size is checked against the source before anything is allocated.
    if (id != kRiff || size > source.size() - kRiffHeaderSize) return nullptr;
    try {
        auto tree = std::make_unique<RiffTree>();
        if (!TreeReader(source, *tree, size).split(leaveInFile)) return nullptr;
        if (tree->buffer.capacity() - tree->buffer.size() > tree->buffer.size() / 4) tree->buffer.shrink_to_fit();
        return tree;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace tz

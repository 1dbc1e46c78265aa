#include "instruments/riff_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/byte_source.h"
#include "soundfont/dls_writer.h"

namespace tz {
namespace {

std::unique_ptr<RiffTree> readBytes(const std::vector<uint8_t>& bytes) { return readRiffTree(MemorySource(bytes)); }

std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// A chunk header with a size of our choosing, followed by nothing.
std::vector<uint8_t> header(const char (&id)[5], uint32_t size) {
    std::vector<uint8_t> out(id, id + 4);
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(size >> (8 * i)));
    return out;
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<const RiffChunk*> childrenOf(const RiffTree& tree, const RiffChunk& parent) {
    std::vector<const RiffChunk*> out;
    for (const RiffChunk* c = tree.child(parent); c; c = tree.next(*c)) out.push_back(c);
    return out;
}

TEST(DlsRiff, ChunksFollowTheirSizesAndPadBytes) {
    auto file = riffList("RIFF", "TEST",
                         concat({riffChunk("odd ", bytesOf("abc")), riffChunk("even", bytesOf("wxyz")),
                                 riffList("LIST", "sub ", riffChunk("leaf", bytesOf("q")))}));
    auto tree = readBytes(file);
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->root().listType, fourCC("TEST"));
    EXPECT_EQ(tree->root().length, file.size() - 8);
    auto kids = childrenOf(*tree, tree->root());
    ASSERT_EQ(kids.size(), 3u);
    EXPECT_EQ(kids[0]->id, fourCC("odd "));
    EXPECT_EQ(kids[0]->length, 3u);
    EXPECT_EQ(std::string(tree->data(*kids[0]).begin(), tree->data(*kids[0]).end()), "abc");
    // The pad byte after the odd chunk is skipped.
    EXPECT_EQ(kids[1]->id, fourCC("even"));
    EXPECT_EQ(std::string(tree->data(*kids[1]).begin(), tree->data(*kids[1]).end()), "wxyz");
    EXPECT_EQ(kids[2]->id, fourCC("LIST"));
    EXPECT_EQ(kids[2]->listType, fourCC("sub "));
    EXPECT_EQ(RiffTree::effectiveId(*kids[2]), fourCC("sub "));
    EXPECT_EQ(RiffTree::effectiveId(*kids[0]), fourCC("odd "));
    auto leaf = childrenOf(*tree, *kids[2]);
    ASSERT_EQ(leaf.size(), 1u);
    EXPECT_EQ(leaf[0]->length, 1u);
}

TEST(DlsRiff, OversizedChunksEndAtTheirParent) {
    // The inner list claims 100 bytes but its parent holds only 20 after it;
    // the chunk after the list in the file is swallowed by it.
    auto inner = concat({header("LIST", 100), bytesOf("in  "), riffChunk("abcd", bytesOf("12345678"))});
    auto file = riffList("RIFF", "TEST", concat({inner}));
    auto tree = readBytes(file);
    ASSERT_TRUE(tree);
    auto kids = childrenOf(*tree, tree->root());
    ASSERT_EQ(kids.size(), 1u);
    EXPECT_EQ(kids[0]->length, 20u);
    auto grand = childrenOf(*tree, *kids[0]);
    ASSERT_EQ(grand.size(), 1u);
    EXPECT_EQ(grand[0]->length, 8u);
}

TEST(DlsRiff, SmallListsAndTrailingBytes) {
    auto file = riffList("RIFF", "TEST",
                         concat({header("LIST", 4), bytesOf("four"), header("LIST", 2), bytesOf("ab"),
                                 header("last", 0)}));
    auto tree = readBytes(file);
    ASSERT_TRUE(tree);
    auto kids = childrenOf(*tree, tree->root());
    // The 8-byte empty chunk at the very end is not listed (only 8 bytes remain).
    ASSERT_EQ(kids.size(), 2u);
    EXPECT_EQ(kids[0]->listType, fourCC("four"));
    EXPECT_EQ(kids[0]->firstChild, kNoChunk);
    EXPECT_EQ(kids[1]->length, 2u);
    EXPECT_EQ(kids[1]->listType, 0u);
    EXPECT_EQ(kids[1]->firstChild, kNoChunk);
}

TEST(DlsRiff, DeepNestingBecomesNestedNodesWithoutRecursion) {
    constexpr int depth = 200000;
    // Build LIST(LIST(LIST(...))) from the inside out, sizes exact.
    std::vector<uint8_t> file;
    file.reserve(size_t(depth) * 12 + 64);
    std::vector<uint32_t> sizes(depth);
    uint32_t size = 4;
    for (int i = depth - 1; i >= 0; --i) {
        sizes[size_t(i)] = size;
        size += 12;
    }
    auto out = header("RIFF", size);
    out.insert(out.end(), {'D', 'E', 'E', 'P'});
    for (int i = 0; i < depth; ++i) {
        auto h = header("LIST", sizes[size_t(i)]);
        out.insert(out.end(), h.begin(), h.end());
        out.insert(out.end(), {'n', 'e', 's', 't'});
    }
    auto tree = readBytes(out);
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->chunks.size(), size_t(depth) + 1);
    int levels = 0;
    for (const RiffChunk* c = tree->child(tree->root()); c; c = tree->child(*c)) ++levels;
    EXPECT_EQ(levels, depth);
}

TEST(DlsRiff, ChunksLeftInTheFileAreOnlyLocated) {
    auto wave = riffList("LIST", "wave", concat({riffChunk("data", bytesOf("12345")), riffChunk("tail", bytesOf("zz"))}));
    auto file = riffList("RIFF", "TEST",
                         concat({riffChunk("head", bytesOf("ab")), riffList("LIST", "wvpl", wave),
                                 riffChunk("data", bytesOf("kept")), riffChunk("last", bytesOf("xyz"))}));
    const uint32_t path[] = {fourCC("wvpl"), fourCC("wave"), fourCC("data")};
    auto tree = readRiffTree(MemorySource(file), path);
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->buffer.size(), file.size() - 8 - 5);
    auto text = [&](const RiffChunk& c) { return std::string(tree->data(c).begin(), tree->data(c).end()); };
    auto kids = childrenOf(*tree, tree->root());
    ASSERT_EQ(kids.size(), 4u);
    const RiffChunk& inFile = *tree->child(*tree->child(*kids[1]));
    EXPECT_EQ(inFile.storage, RiffChunk::InFile);
    EXPECT_EQ(std::string(file.begin() + 8 + inFile.position, file.begin() + 8 + inFile.position + inFile.length), "12345");
    EXPECT_TRUE(tree->data(inFile).empty());
    // Its ancestors have no data of one piece; everything else is as read.
    for (const RiffChunk* gapped : {&tree->root(), kids[1], tree->child(*kids[1])}) {
        EXPECT_EQ(gapped->storage, RiffChunk::Gapped);
        EXPECT_TRUE(tree->data(*gapped).empty());
    }
    EXPECT_EQ(text(*tree->next(inFile)), "zz");
    EXPECT_EQ(text(*kids[0]), "ab");
    EXPECT_EQ(text(*kids[2]), "kept");  // a "data" chunk elsewhere is read
    EXPECT_EQ(text(*kids[3]), "xyz");
}

TEST(DlsRiff, UnreadableFilesGiveNoTree) {
    EXPECT_FALSE(readBytes(bytesOf("RIF")));
    EXPECT_FALSE(readBytes(concat({header("RIFX", 4), bytesOf("TEST")})));
    // Body shorter than the size says.
    EXPECT_FALSE(readBytes(concat({header("RIFF", 100), bytesOf("TEST")})));
    // A size of nearly 4 GiB over a few bytes fails without allocating it.
    EXPECT_FALSE(readBytes(concat({header("RIFF", 0xFFFFFFF0u), bytesOf("TEST1234")})));
    // Empty body and a body of 2 bytes are fine.
    auto empty = readBytes(header("RIFF", 0));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->root().listType, 0u);
    auto tiny = readBytes(concat({header("RIFF", 2), bytesOf("ab")}));
    ASSERT_TRUE(tiny);
    EXPECT_EQ(tiny->root().listType, 0u);
    EXPECT_EQ(tiny->root().firstChild, kNoChunk);
}

}  // namespace
}  // namespace tz

#include "platform/input_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/paths.h"

namespace tz {

namespace {

struct FileStreamContext {
    std::FILE* file = nullptr;
    int32_t ownsFile = 0;
};

int32_t fileStreamRead(void* context, void* buffer, int32_t itemSize, int32_t itemCount) {
    auto* ctx = static_cast<FileStreamContext*>(context);
    if (!ctx || !ctx->file || itemSize <= 0 || itemCount <= 0) return 0;
    return int32_t(std::fread(buffer, size_t(itemSize), size_t(itemCount), ctx->file));
}

int32_t fileStreamClose(void* context) {
    auto* ctx = static_cast<FileStreamContext*>(context);
    if (!ctx) return 0;
    int32_t result = 0;
    if (ctx->ownsFile && ctx->file) result = std::fclose(ctx->file);
    delete ctx;
    return result;
}

}  // namespace

InputStream* createFileStream(std::FILE* file, int32_t ownsFile) noexcept {
    auto* stream = new (std::nothrow) InputStream;
    if (!stream) return nullptr;
    auto* ctx = new (std::nothrow) FileStreamContext;
    if (!ctx) {
        delete stream;
        return nullptr;
    }
    ctx->file = file;
    ctx->ownsFile = ownsFile;
    stream->read = fileStreamRead;
    stream->close = fileStreamClose;
    stream->context = ctx;
    return stream;
}

namespace {

struct MemoryStreamContext {
    std::vector<uint8_t> data;
    size_t position = 0;
};

int32_t memoryStreamRead(void* context, void* buffer, int32_t itemSize, int32_t itemCount) {
    auto* ctx = static_cast<MemoryStreamContext*>(context);
    if (itemSize <= 0 || itemCount <= 0) return 0;
    size_t left = ctx->data.size() - ctx->position;
    size_t items = std::min<size_t>(size_t(itemCount), left / size_t(itemSize));
    size_t bytes = items * size_t(itemSize);
    if (bytes) std::memcpy(buffer, ctx->data.data() + ctx->position, bytes);
    ctx->position += bytes;
    return int32_t(items);
}

int32_t memoryStreamClose(void* context) {
    delete static_cast<MemoryStreamContext*>(context);
    return 0;
}

}  // namespace

InputStream* createMemoryStream(const uint8_t* data, size_t size) noexcept {
    try {
        auto ctx = std::make_unique<MemoryStreamContext>();
        ctx->data.assign(data, data + size);
        auto* stream = new InputStream;
        stream->read = memoryStreamRead;
        stream->close = memoryStreamClose;
        stream->context = ctx.release();
        return stream;
    } catch (...) {
        return nullptr;
    }
}

void releaseStream(InputStream* stream) noexcept {
    if (!stream) return;
    if (stream->close) stream->close(stream->context);
    delete stream;
}

bool readWholeStream(InputStream* stream, std::vector<uint8_t>& out, size_t maxBytes) {
    try {
        out.clear();
        uint8_t chunk[65536];
        for (;;) {
            int32_t got = stream->read(stream->context, chunk, 1, int32_t(sizeof chunk));
            if (got <= 0) return true;
            if (out.size() + size_t(got) > maxBytes) return false;
            out.insert(out.end(), chunk, chunk + got);
        }
    } catch (...) {
        return false;
    }
}

bool readWholeFile(const std::string& path, std::vector<uint8_t>& out, size_t maxBytes) {
    std::FILE* file = openFileUtf8(path, "rb");
    if (!file) return false;
    StreamPtr stream(createFileStream(file, 1));
    if (!stream) {
        std::fclose(file);
        return false;
    }
    return readWholeStream(stream.get(), out, maxBytes);
}

}  // namespace tz

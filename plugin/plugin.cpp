#include <new>

#include "plugin/demuxer.h"
#include "plugin/host_abi.h"

namespace tz {

namespace {

class CDemuxerPlugin : public IDemuxerPlugin {
protected:
    ~CDemuxerPlugin() = default;
};

class CMidiDemuxerPlugin final : public CDemuxerPlugin {
public:
    int32_t getType() noexcept override { return 2; }

    void release() noexcept override { delete this; }

    IDemuxer* createDemuxer() noexcept override {
        // Nothing may unwind into the host: a lack of memory is a null result.
        try {
            return new CMidiDemuxer;
        } catch (...) {
            return nullptr;
        }
    }

    bool supportsExtension(const HostChar* extension) noexcept override {
        if (!extension) return false;
        auto startsWith = [extension](const char* prefix, int count) {
            for (int i = 0; i < count; ++i)
                if (extension[i] != HostChar(prefix[i])) return false;
            return true;
        };
        return startsWith("mid", 3) || startsWith("rmi", 3) || startsWith("midi", 4);
    }

private:
    ~CMidiDemuxerPlugin() = default;
};

}  // namespace

IPlugin* createMidiDemuxerPlugin() noexcept { return new (std::nothrow) CMidiDemuxerPlugin; }

}  // namespace tz

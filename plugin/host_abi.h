// The objects a host sees. Their virtual operations are called by slot
// position, so declaration order is the ABI. No class here declares a virtual
// destructor: compilers disagree on how many slots one takes, so the
// demuxer's slot 6 is an ordinary operation taking the deletion flags.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tz {

// Wide characters as the host passes them: UTF-16.
using HostChar = char16_t;

struct DemuxerFormat {
    int32_t kind;
    int32_t padding;
    double lengthSeconds;
    int32_t reserved16;
    uint32_t sampleRate;
    int32_t reserved24;
    int32_t channelCount;
    int32_t bitsPerSample;
    uint8_t reserved36[20];
};
static_assert(offsetof(DemuxerFormat, kind) == 0);
static_assert(offsetof(DemuxerFormat, lengthSeconds) == 8);
static_assert(offsetof(DemuxerFormat, sampleRate) == 20);
static_assert(offsetof(DemuxerFormat, channelCount) == 28);
static_assert(offsetof(DemuxerFormat, bitsPerSample) == 32);
static_assert(sizeof(DemuxerFormat) == 56);
static_assert(alignof(DemuxerFormat) == 8);

// The host's source object: slot 10 returns the file's path. Slots 0..9 are
// the host's own and never called here.
class ISource {
public:
    virtual void hostSlot0() = 0;
    virtual void hostSlot1() = 0;
    virtual void hostSlot2() = 0;
    virtual void hostSlot3() = 0;
    virtual void hostSlot4() = 0;
    virtual void hostSlot5() = 0;
    virtual void hostSlot6() = 0;
    virtual void hostSlot7() = 0;
    virtual void hostSlot8() = 0;
    virtual void hostSlot9() = 0;
    virtual const HostChar* path() = 0;

protected:
    ~ISource() = default;
};

class IDemuxer {
public:
    virtual bool open(ISource* source) noexcept = 0;                 // slot 0
    virtual void close() noexcept = 0;                               // slot 1
    virtual void seek(double* seconds) noexcept = 0;                 // slot 2
    virtual int32_t read(uint8_t* buffer, int32_t length) noexcept = 0;  // slot 3
    virtual DemuxerFormat* format() noexcept = 0;                    // slot 4
    virtual void release() noexcept = 0;                             // slot 5
    virtual void* destroy(uint32_t flags) noexcept = 0;              // slot 6

protected:
    ~IDemuxer() = default;
};

class IPlugin {
public:
    virtual int32_t getType() noexcept = 0;  // slot 0
    virtual void release() noexcept = 0;     // slot 1

protected:
    ~IPlugin() = default;
};

class IDemuxerPlugin : public IPlugin {
public:
    virtual IDemuxer* createDemuxer() noexcept = 0;                       // slot 2
    virtual bool supportsExtension(const HostChar* extension) noexcept = 0;  // slot 3

protected:
    ~IDemuxerPlugin() = default;
};

// Creates the plug-in object (what tzGetPlugin returns). Null when memory is
// lacking.
IPlugin* createMidiDemuxerPlugin() noexcept;

}  // namespace tz

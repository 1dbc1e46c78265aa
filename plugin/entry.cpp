// The library's only exported symbol.
#include "plugin/host_abi.h"

#ifdef _WIN32
#define TZ_EXPORT __declspec(dllexport)
#else
#define TZ_EXPORT __attribute__((visibility("default")))
#endif

extern "C" TZ_EXPORT tz::IPlugin* tzGetPlugin() { return tz::createMidiDemuxerPlugin(); }

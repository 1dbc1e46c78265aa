// The fuzz targets as plain functions, so that libFuzzer drives them and the
// regular test suite replays the kept regression inputs through the same code.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tz::fuzz {

// A song opened from memory by the song player, against a small fixed bank,
// its instruments loaded.
int smfTarget(const uint8_t* data, size_t size);
// The settings file reader.
int settingsTarget(const uint8_t* data, size_t size);
// The patch configuration reader, every sourced file being the input again.
int patchConfigTarget(const uint8_t* data, size_t size);
// The DLS reader and the conversion of every instrument it finds.
int dlsTarget(const uint8_t* data, size_t size);
// The patch loader with pre-resampling; the first byte picks the options.
int patchTarget(const uint8_t* data, size_t size);
// The SoundFont reader and the bank converter; a bank it makes must read
// back as a DLS bank.
int sf2Target(const uint8_t* data, size_t size);
// The whole plug-in path: open the input as a MIDI file against a fixed bank,
// read some blocks, seek, read again, close.
int pluginTarget(const uint8_t* data, size_t size);

}  // namespace tz::fuzz

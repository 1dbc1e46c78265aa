// Loading GUS patch (.pat) files into instruments.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "instruments/patch_path.h"
#include "records/instrument.h"

namespace tz {

struct MidiSong;

// Loads the patch `name` (looked up along the search path, ".pat" appended
// when the name alone is not found). Returns null when the patch
// cannot be found or is not a readable patch file.
// panning: -1 keeps the patch's own panning, otherwise 0..127.
// amplification: -1 normalises the samples' volume, otherwise a percentage.
// fixedNote: -1 none, otherwise the note every sample is played at.
// stripLoop / stripEnvelope / stripTail: -1 decide from the data, 0 no, 1 yes.
std::unique_ptr<Instrument> loadPatchInstrument(MidiSong& song, const PatchSearchPath& searchPath,
                                                const std::string& name,
                                                int32_t panning, int32_t amplification,
                                                int32_t fixedNote, int32_t stripLoop,
                                                int32_t stripEnvelope, int32_t stripTail);

}  // namespace tz

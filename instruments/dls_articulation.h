// The articulation of a DLS region as the standard sound plays it: the
// format's default connections, the instrument's or the region's connection
// blocks over them, and the region's wave sample (its own, else its wave's).
#pragma once
#include <memory>

#include "instruments/dls_collection.h"
#include "records/articulation.h"

namespace tz {

// The default connections of the DLS format (Level 2, with the modulation
// wheel's vibrato of Level 1), before any bank's.
const std::vector<ArticulationConnection>& defaultConnections();

// One connection block as the articulation holds it: Level 1 blocks
// ("art1") carry a curve for the source alone, inverted for velocity, volume
// and expression into gain and bipolar for the LFOs, pan and pitch wheel;
// Level 2 blocks ("art2") carry both shapes in their transform word.
ArticulationConnection articulationConnection(const DlsConnection& block, bool level2);

// The region's articulation: the region's blocks when it has any, else the
// instrument's, over the defaults. `oneShot` when the region does not loop.
std::shared_ptr<const Articulation> resolveArticulation(const DlsInstrument& instrument, const DlsRegion& region,
                                                        const DlsWave& wave, bool oneShot);

}  // namespace tz

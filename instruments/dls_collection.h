// The parsed DLS bank: an index into its chunk tree.
#pragma once
#include <cstdint>
#include <memory>

namespace tz {

struct InputStream;

struct DlsCollection {
    // Filled in by the DLS reader.
};

// Reads a DLS bank from the stream; null when it cannot be parsed.
std::unique_ptr<DlsCollection> loadDlsCollection(InputStream* stream);

}  // namespace tz

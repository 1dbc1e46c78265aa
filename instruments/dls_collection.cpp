#include "instruments/dls_collection.h"

namespace tz {

std::unique_ptr<DlsCollection> loadDlsCollection(InputStream*) { return nullptr; }

}  // namespace tz

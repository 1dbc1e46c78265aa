#include "tests/support/files.h"

#include <fstream>
#include <limits>
#include <system_error>

#include "platform/input_stream.h"

namespace tz::test {

std::vector<uint8_t> readFileBytes(const std::filesystem::path& path) {
    std::vector<uint8_t> bytes;
    if (!readWholeFile(path.string(), bytes, std::numeric_limits<size_t>::max())) bytes.clear();
    return bytes;
}

bool writeFileBytes(const std::filesystem::path& path, const uint8_t* data, size_t size) {
    std::error_code ec;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) return false;
    file.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    file.close();
    return !file.fail();
}

bool writeFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    return writeFileBytes(path, bytes.data(), bytes.size());
}

}  // namespace tz::test

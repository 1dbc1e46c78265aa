#include "tests/support/files.h"

#include <fstream>
#include <iterator>
#include <system_error>

namespace tz::test {

std::vector<uint8_t> readFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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

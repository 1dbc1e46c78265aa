// Whole-file reads and writes for tests, fuzzing and benchmarks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace tz::test {

// The file's bytes; empty when it cannot be read.
std::vector<uint8_t> readFileBytes(const std::filesystem::path& path);
// Writes the bytes, creating missing parent folders. False on any failure.
bool writeFileBytes(const std::filesystem::path& path, const uint8_t* data, size_t size);
bool writeFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

}  // namespace tz::test

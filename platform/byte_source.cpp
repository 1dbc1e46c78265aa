#include "platform/byte_source.h"

#include <cstring>
#include <new>

#include "platform/paths.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tz {

bool MemorySource::read(uint64_t offset, void* out, size_t count) const {
    if (offset > bytes_.size() || count > bytes_.size() - offset) return false;
    if (count) std::memcpy(out, bytes_.data() + offset, count);
    return true;
}

#ifdef _WIN32

std::unique_ptr<FileSource> FileSource::open(std::u16string_view path) {
    std::wstring wide(path.begin(), path.end());
    // Sharing delete as well lets the bank be replaced while an open reads it.
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(handle);
        return nullptr;
    }
    std::unique_ptr<FileSource> file(new (std::nothrow) FileSource);
    if (!file) {
        CloseHandle(handle);
        return nullptr;
    }
    file->handle_ = handle;
    file->identity_.size = uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    file->identity_.modified =
        int64_t(uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32 | info.ftLastWriteTime.dwLowDateTime);
    file->identity_.volume = info.dwVolumeSerialNumber;
    file->identity_.file = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    return file;
}

FileSource::~FileSource() {
    if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
}

bool FileSource::read(uint64_t offset, void* out, size_t count) const {
    auto* bytes = static_cast<uint8_t*>(out);
    while (count > 0) {
        DWORD piece = count > 0x40000000u ? 0x40000000u : DWORD(count);
        OVERLAPPED at{};
        at.Offset = DWORD(offset);
        at.OffsetHigh = DWORD(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(static_cast<HANDLE>(handle_), bytes, piece, &got, &at) || got == 0) return false;
        bytes += got;
        offset += got;
        count -= got;
    }
    return true;
}

#else

std::unique_ptr<FileSource> FileSource::open(std::u16string_view path) {
    std::string mapped = mapPlatformPath(utf16ToUtf8(path));
    int descriptor = ::open(mapped.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return nullptr;
    struct stat st;
    if (::fstat(descriptor, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        ::close(descriptor);
        return nullptr;
    }
    std::unique_ptr<FileSource> file(new (std::nothrow) FileSource);
    if (!file) {
        ::close(descriptor);
        return nullptr;
    }
    file->descriptor_ = descriptor;
    file->identity_.size = uint64_t(st.st_size);
    file->identity_.modified = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    file->identity_.volume = uint64_t(st.st_dev);
    file->identity_.file = uint64_t(st.st_ino);
    return file;
}

FileSource::~FileSource() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

bool FileSource::read(uint64_t offset, void* out, size_t count) const {
    auto* bytes = static_cast<uint8_t*>(out);
    while (count > 0) {
        if (offset > uint64_t(INT64_MAX)) return false;
        ssize_t got = ::pread(descriptor_, bytes, count, off_t(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        bytes += got;
        offset += uint64_t(got);
        count -= size_t(got);
    }
    return true;
}

#endif

}  // namespace tz

#pragma once

#include "avi/IFileHandler.h"

namespace avi {

// Local-disk handler over POSIX file descriptors. The position is tracked in the handle and
// every transfer is one pread/pwrite at it, so a read-mode setFilePos costs no system call and a frame
// read is exactly one positioned read into the caller's buffer.
//
// In write mode, a seek past the end of the file (fseek or setFilePos) allocates the region
// it skips (posix_fallocate, or zeros where the file system cannot allocate) before it
// moves, and fails when the disk has no room. The writer skips the header's room this way
// and writes the header last: on a full disk the room is then already backed, and the
// header still goes in at close.
class AVI_API LocalFileHandler : public IFileHandler {
public:
    LocalFileHandler() = default;
    ~LocalFileHandler() override = default;

    void* fopen(std::u16string path, const char* mode) override;
    std::size_t fread(void* buffer, std::size_t size, std::size_t count, void* handle) override;
    std::size_t fwrite(const void* buffer, std::size_t size, std::size_t count, void* handle) override;
    int fseek(void* handle, std::int64_t offset, int origin) override;
    std::int64_t ftell(void* handle) override;
    int fclose(void* handle) override;
    std::uint64_t getFilePos(void* handle) override;
    int setFilePos(void* handle, std::uint64_t position) override;
};

}  // namespace avi

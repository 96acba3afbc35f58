#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "avi/export.h"

namespace avi {

// Every byte of an AVI file passes through one of these. The handle is opaque and
// pointer-sized; null means failure. Positions are 64-bit byte offsets from the start.
class AVI_API IFileHandler {
public:
    virtual ~IFileHandler() = default;

    // mode is exactly "rb" or "wb"; a "wb" handle must be seekable backwards.
    virtual void* fopen(std::u16string path, const char* mode) = 0;
    // Returns the number of elements transferred; anything short of count is a failure.
    virtual std::size_t fread(void* buffer, std::size_t size, std::size_t count, void* handle) = 0;
    virtual std::size_t fwrite(const void* buffer, std::size_t size, std::size_t count, void* handle) = 0;
    // origin: 0 from the start, 1 from the current position. Returns 0 on success.
    virtual int fseek(void* handle, std::int64_t offset, int origin) = 0;
    virtual std::int64_t ftell(void* handle) = 0;
    virtual int fclose(void* handle) = 0;
    virtual std::uint64_t getFilePos(void* handle) = 0;
    // Returns 0 on success.
    virtual int setFilePos(void* handle, std::uint64_t position) = 0;
};

}  // namespace avi

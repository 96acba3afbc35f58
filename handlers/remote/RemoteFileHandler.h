#pragma once

#include "avi/IFileHandler.h"

namespace avi {
namespace remote {

// avi::IFileHandler for http:// and https:// locations.
//
// "rb": the size and validators come from the server at fopen; reads are ranged GETs
// through a small block cache whose read-ahead grows while reads are sequential. A
// server that ignores ranges, or a resource that changes while it is read, fails the
// read (short count); no byte of another version is delivered.
//
// "wb": the writer seeks backwards to patch headers, so the bytes are spooled to a
// temporary file and uploaded with one PUT by fclose, which returns non-zero when the
// upload fails; the temporary file is then kept and named in the recorded failure. "wx"
// sends the PUT with If-None-Match: *, so that a server that honours it keeps what is there.
//
// Every handle carries its own connection and cache; the handler object holds no state.
class RemoteFileHandler : public IFileHandler {
public:
    RemoteFileHandler();
    ~RemoteFileHandler() override = default;

    void* fopen(std::u16string path, const char* mode) override;
    std::size_t fread(void* buffer, std::size_t size, std::size_t count, void* handle) override;
    std::size_t fwrite(const void* buffer, std::size_t size, std::size_t count, void* handle) override;
    int fseek(void* handle, std::int64_t offset, int origin) override;
    std::int64_t ftell(void* handle) override;
    int fclose(void* handle) override;
    std::uint64_t getFilePos(void* handle) override;
    int setFilePos(void* handle, std::uint64_t position) override;
};

}  // namespace remote
}  // namespace avi

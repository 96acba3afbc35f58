#pragma once

#include "avi/IFileHandler.h"

namespace avi {
namespace remote {

// avi::IFileHandler for http://, https:// and s3:// locations.
//
// "rb": the size and validators come from the server at fopen; reads are ranged GETs
// through a small block cache, and a sequential run is read ahead in parallel (ReadAhead.h).
// A resource that changes while it is read fails the read (short count); no byte of another
// version is delivered. A server that ignores ranges is read through a local copy.
//
// "wb": the writer seeks backwards to patch headers, so the bytes are spooled to a
// temporary file. For s3:// the parts the writer has finished upload while it writes
// (MultipartUpload.h); the rest, and any other URL, go up at fclose, which returns non-zero
// when the upload fails; the temporary file is then kept and named in the recorded failure.
// "wbx" does not replace an existing resource where the server honours If-None-Match: *.
//
// Every handle carries its own connections and cache; the handler object holds no state.
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

    // Closes a handle without uploading: an upload under way is aborted, the spool removed.
    void abandon(void* handle);
};

}  // namespace remote
}  // namespace avi

#pragma once

#include "avi/IFileHandler.h"
#include "avi/VectoredIO.h"
#include "avi/WriteCapabilities.h"

namespace avi {

// Local-disk handler over POSIX file descriptors. The position is tracked in the handle, so
// setFilePos costs no system call. Large transfers are one pread/pwrite straight at the
// caller's buffer; in read mode, small reads that move forward are served from a read-ahead
// window, so a run of tiny chunks costs a copy each rather than a system call each.
//
// In write mode, a seek past the end of the file (fseek or setFilePos) allocates the region
// it skips (posix_fallocate, or zeros where the file system cannot allocate) before it
// moves, and fails when the disk has no room. The writer skips the header's room this way
// and writes the header last: on a full disk the room is then already backed, and the
// header still goes in at close.
class AVI_API LocalFileHandler : public IFileHandler, public IVectoredIO, public IVectoredWrite, public IDataSync {
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

    // Reads rows * rowBytes bytes, then tail bytes, at the position, storing the rows in
    // reverse order: the first row read lands last, the tail stays behind the rows. A
    // top-down frame is thus placed bottom-up with no second pass over the frame in memory.
    // Returns the bytes read, as fread would.
    std::size_t freadRowsReversed(char* buffer, std::size_t rowBytes, std::size_t rows, std::size_t tail, void* handle);

    // One preadv; pieces that add up to a small read come from the read-ahead window, so a
    // run of tiny chunks still costs a copy each rather than a system call each.
    std::size_t readPieces(void* handle, std::uint64_t position, const Piece* pieces, std::size_t count) override;

    // One pwritev at the position.
    std::size_t writePieces(void* handle, const Piece* pieces, std::size_t count) override;
    // fdatasync.
    bool syncData(void* handle) override;
};

}  // namespace avi

#pragma once

#include <cstddef>

#include "avi/VectoredIO.h"
#include "avi/export.h"

namespace avi {

// Optional capabilities of a file handler for writing, found with dynamic_cast like
// IVectoredIO; a handler without them is used through IFileHandler alone.

// One write at the current position gathered from several buffers (a chunk's header, its
// data and its pad byte), as one system call where the handler can.
class AVI_API IVectoredWrite {
public:
    virtual ~IVectoredWrite() = default;
    // Writes the pieces in order; returns the bytes written, fewer after an error. The
    // position moves behind them.
    virtual std::size_t writePieces(void* handle, const IVectoredIO::Piece* pieces, std::size_t count) = 0;
};

// Makes what was written so far reach the storage device (fdatasync on a local file), so a
// power cut cannot take it back.
class AVI_API IDataSync {
public:
    virtual ~IDataSync() = default;
    // False when the device reported an error.
    virtual bool syncData(void* handle) = 0;
};

}  // namespace avi

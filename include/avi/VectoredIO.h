#pragma once

#include <cstddef>
#include <cstdint>

#include "avi/export.h"

namespace avi {

// An optional capability of a file handler: one read at a position, scattered over several
// buffers, done as one system call where the handler can (a chunk's header and its data
// are wanted in different places). Found with dynamic_cast; a handler without it is used
// through IFileHandler alone.
class AVI_API IVectoredIO {
public:
    struct Piece {
        void* data;
        std::size_t size;
    };
    virtual ~IVectoredIO() = default;
    // Fills the pieces in order with the bytes at position; returns the bytes read, fewer at
    // the end of the file or after an error. The handle's position moves behind them.
    virtual std::size_t readPieces(void* handle, std::uint64_t position, const Piece* pieces, std::size_t count) = 0;
};

}  // namespace avi

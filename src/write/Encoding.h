#pragma once
// Byte encodings both writers share (the one of the format and the checkpointing one).

#include <cstdio>
#include <cstring>

#include "avi/IndexEntry.h"
#include "avi/fcns.h"

namespace avi {

// A chunk header: the four id bytes, then the size, little-endian.
inline void putChunkHeader(char* p, const char* id, std::uint32_t size) {
    std::memcpy(p, id, 4);
    fcns::putUint32(p + 4, size);
}

// The id of a stream's standard index chunks: ix00 for stream 0, ix01 for stream 1.
inline void standardIndexId(char (&id)[5], unsigned streamNumber) {
    std::snprintf(id, sizeof id, "ix0%u", streamNumber % 10);
}

// Standard-index entries: 8 bytes each, the offset of the chunk's data from the movi list's
// form type and the size.
inline void putStandardIndexEntries(char* p, const IndexEntry* begin, const IndexEntry* end) {
    for (; begin != end; ++begin, p += 8) {
        fcns::putUint32(p, begin->getPosition() + 8u);
        fcns::putUint32(p + 4, begin->getSize());
    }
}

// Super-index entries as the indx chunk holds them: 16 bytes each (offset, size, duration).
inline void putSuperIndexEntries(char* p, const SuperIndexEntry* begin, const SuperIndexEntry* end) {
    for (; begin != end; ++begin, p += 16) {
        fcns::putUint64(p, begin->getPosition());
        fcns::putUint32(p + 8, begin->getSize());
        fcns::putUint32(p + 12, begin->getDuration());
    }
}

}  // namespace avi

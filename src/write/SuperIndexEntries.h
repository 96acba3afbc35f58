#pragma once

#include "avi/IndexEntry.h"
#include "avi/fcns.h"

namespace avi {

// Super-index entries as the indx chunk holds them: 16 bytes each (offset, size, duration).
inline void putSuperIndexEntries(char* p, const SuperIndexEntry* begin, const SuperIndexEntry* end) {
    for (; begin != end; ++begin, p += 16) {
        fcns::putUint64(p, begin->getPosition());
        fcns::putUint32(p + 8, begin->getSize());
        fcns::putUint32(p + 12, begin->getDuration());
    }
}

}  // namespace avi

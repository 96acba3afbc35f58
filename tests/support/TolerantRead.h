#pragma once
// Every read form of the tolerant reader, each into a heap buffer of exactly the size it
// reports, so that an overrun is a sanitizer finding.

#include <cstdint>
#include <memory>

#include "salvage/TolerantReader.h"

namespace avitest {

// Buffers beyond limit bytes are not allocated: the file cannot justify them.
inline void readEverything(salvage::TolerantReader& r, std::uint64_t limit = 1u << 20) {
    const auto exact = [&](std::uint64_t n, auto read) {
        if (n == 0 || n > limit) return;
        std::unique_ptr<char[]> buffer(new char[n]);
        read(buffer.get());
    };
    using P = salvage::Picture;
    const P forms[] = {
        {P::BGR24, true, 0}, {P::BGR24, false, 0}, {P::Stored, true, 0}, {P::Stored, false, r.video().storedStride()}};
    for (std::uint64_t i = 0; i < r.frames().size() && i < 10000; ++i) {
        exact(r.frames()[i].size, [&](char* b) { r.readStored(i, b); });
        for (const P& as : forms) exact(r.pictureBytes(as), [&](char* b) { r.readPicture(i, b, as); });
    }
    for (std::uint64_t at = 0; at < r.audioBytes() && at < 64 * 7; at += 7)
        exact(7, [&](char* b) { r.readAudio(at, b, 7); });
}

}  // namespace avitest

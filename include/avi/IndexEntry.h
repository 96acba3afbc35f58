#pragma once

#include <cstdint>

#include "avi/export.h"

namespace avi {

// One chunk of a stream: where it lies and how big it is. In a file opened for reading,
// base offset + position is the file offset of the chunk's data; in a file being written,
// position is the offset of the chunk's header from the movi form type.
class AVI_API IndexEntry {
public:
    IndexEntry(std::uint32_t position, std::uint32_t size, std::uint64_t baseOffset)
        : position_(position), size_(size), baseOffset_(baseOffset) {}
    ~IndexEntry() = default;

    std::uint32_t getPosition() const { return position_; }
    std::uint32_t getSize() const { return size_; }
    std::uint64_t getBaseOffset() const { return baseOffset_; }
    std::uint64_t getAbsolutePosition() const { return baseOffset_ + position_; }

private:
    std::uint32_t position_;
    std::uint32_t size_;
    std::uint64_t baseOffset_;
};

// One standard index chunk as a super index lists it.
class AVI_API SuperIndexEntry {
public:
    SuperIndexEntry(std::uint64_t position, std::uint32_t size, std::uint32_t duration)
        : position_(position), size_(size), duration_(duration) {}
    ~SuperIndexEntry() = default;

    std::uint64_t getPosition() const { return position_; }
    std::uint32_t getSize() const { return size_; }
    std::uint32_t getDuration() const { return duration_; }

private:
    std::uint64_t position_;
    std::uint32_t size_;
    std::uint32_t duration_;
};

}  // namespace avi

#pragma once
// What the checkpointing writer keeps beside avi::File's own writer state.

#include <chrono>
#include <cstdint>
#include <vector>

namespace avi {

struct CheckpointState {
    // The room of one ix## chunk in the current segment: entries [first, first + capacity)
    // of the segment's index vector go into it.
    struct Room {
        std::uint64_t offset;  // of the chunk's 8-byte header
        std::uint32_t capacity;
        std::size_t first;
        std::size_t slot;          // its super-index entry
        std::uint32_t onDisk = 0;  // entries written into the room
        std::uint32_t inUse = 0;   // entries its count in use names
    };
    static constexpr std::uint32_t FIRST_ROOM = 256, LARGEST_ROOM = 65536;

    double interval = 0;
    std::chrono::steady_clock::time_point last{};
    bool headerWritten = false;
    bool firstSegment = true;
    std::uint64_t segmentStart = 0;  // the current segment's RIFF header
    std::vector<Room> rooms[2];      // video, audio
    std::uint32_t nextCapacity[2] = {FIRST_ROOM, FIRST_ROOM};
    std::uint64_t superAt[2] = {0, 0};  // each indx chunk's header, once the header is on disk
    std::uint32_t closedAvixVideo = 0;  // video chunks of AVIX segments closed so far
    std::uint64_t firstMoviEnd = 0;
    // The header as last written, and whether a write of it failed (what is on disk is then
    // not known byte for byte).
    std::vector<char> header;
    bool headerUnsure = false;
};

}  // namespace avi

#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MemoryFileHandler.h"
#include "core/FileBridge.h"
#include "write/CheckpointState.h"

namespace avitest {

// Opens the parts of the object's state that tests inspect, and lets them hand it a
// handler of their own.
class TestFile : public avi::internal::FileBridge {
public:
    using File::audioIndex;
    using File::bitmapHeader;  // the benchmark sets up a reader by hand
    using File::colormap;
    using File::fileHandle;
    using File::fileHandler;
    using File::fileName;
    using File::mainHeader;
    using File::mode;
    using File::pluginReference;
    using File::topDown;
    using File::videoFrameSize;
    using File::videoIndex;

    // Checkpoints only when asked for, into index rooms of n entries at first.
    void checkpointRooms(std::uint32_t n) {
        enableCheckpoints(0);
        if (checkpoints) checkpoints->nextCapacity[0] = checkpoints->nextCapacity[1] = n;
    }

    // Opens path through the given handler instead of the local disk, for reading or writing.
    bool openWith(std::shared_ptr<avi::IFileHandler> handler, const std::u16string& path, const char* openMode) {
        useHandler(std::move(handler));
        return open(path, openMode);
    }

    // Opens bytes held in memory for reading.
    bool openBytes(std::vector<char> bytes) {
        auto mem = std::make_shared<MemoryFileHandler>();
        mem->put(u"in.avi", std::move(bytes));
        return openWith(mem, u"in.avi", "r");
    }
};

// One read into a fresh heap buffer of exactly n bytes, pre-filled so that a refused read
// can be seen to leave it alone.
inline void readInto(TestFile& f, std::uint64_t n, const std::function<void(char*)>& read) {
    if (n > (1u << 20)) return;  // a buffer the file cannot justify; the host would not allocate it
    std::vector<char> buf(n, 0x5A);
    f.clearError();
    read(buf.data());
    const auto code = f.getErrorCode();
    const bool untouched = static_cast<std::uint64_t>(std::count(buf.begin(), buf.end(), 0x5A)) == n;
    EXPECT_TRUE(untouched ||
                (code != avi::errors::ERR_UNSUPPORTED_BITMAP_HEADER && code != avi::errors::ERR_INVALID_INDEX))
        << "a refused read wrote into the buffer";
}

// Every frame by number and then in sequence, in all three forms, and the audio, each read
// into a buffer of exactly the size its getter reports, so an overrun is a sanitizer finding.
inline void readEverything(TestFile& f) {
    const std::uint32_t frames = f.getVideoTotalFrames();
    for (long long n = 0; n <= frames; ++n) {
        const long long at = n == frames ? avi::File::INVALID_FRAME_INDEX : n;  // last: in sequence
        const long long sized = at < 0 ? static_cast<long long>(f.getVideoFramesRead()) : at;
        const std::uint64_t raw = f.getRawVideoFrameSize(f.isVideoCompressed() ? sized : 0);
        readInto(f, raw, [&](char* b) { f.readVideoFrame(b, at); });
        const std::uint64_t indexed = f.getVideoBitsPerPixel() == 8 ? f.getIndexedVideoFrameSize() : raw;
        readInto(f, indexed, [&](char* b) { f.readIndexedVideoFrame(b, at); });
        readInto(f, f.getRGB24VideoFrameSize(), [&](char* b) { f.readRGB24VideoFrame(b, at); });
    }
    for (int i = 0; i < 64 && f.hasAudio() && !f.isEndOfAudio(); ++i)
        readInto(f, 7, [&](char* b) { f.readAudio(b, 7); });
}

}  // namespace avitest

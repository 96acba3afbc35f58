// Opens the input as an AVI file through the in-memory handler and reads every frame in all
// three forms, by number and in sequence, and all audio; then the same through the tolerant
// reader, in each of its forms. Every read gets a fresh heap buffer
// of exactly the size the library reports for it, so AddressSanitizer sees any overrun.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "MemoryFileHandler.h"
#include "TestFile.h"
#include "TolerantRead.h"

namespace {

// Reads into a buffer of exactly n bytes. A buffer larger than the input cannot be filled
// from it; the harness does not allocate for one.
template <typename Read>
void readExact(std::uint64_t n, std::size_t inputSize, Read read) {
    if (n > inputSize + 4096) return;
    std::unique_ptr<char[]> buffer(new char[n]);
    std::memset(buffer.get(), 0, n);
    read(buffer.get());
}

// The documented buffer sizes: the raw read takes videoFrameSize bytes (the first frame's
// size) for an uncompressed stream and the frame's own size for a compressed one; the
// indexed read of an 8-bit stream getIndexedVideoFrameSize(), of any other the raw size.
void readFrame(avitest::TestFile& f, long long at, std::size_t inputSize) {
    const long long sized = at < 0 ? static_cast<long long>(f.getVideoFramesRead()) : at;
    const std::uint64_t raw = f.getRawVideoFrameSize(f.isVideoCompressed() ? sized : 0);
    readExact(raw, inputSize, [&](char* b) { f.readVideoFrame(b, at); });
    const std::uint64_t indexed = f.getVideoBitsPerPixel() == 8 ? f.getIndexedVideoFrameSize() : raw;
    readExact(indexed, inputSize, [&](char* b) { f.readIndexedVideoFrame(b, at); });
    readExact(f.getRGB24VideoFrameSize(), inputSize, [&](char* b) { f.readRGB24VideoFrame(b, at); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto mem = std::make_shared<avitest::MemoryFileHandler>();
    mem->put(u"in.avi", avitest::MemoryFileHandler::Bytes(data, data + size));
    salvage::TolerantReader t;
    if (t.open(mem, u"in.avi", salvage::Hints(), "")) avitest::readEverything(t, size + 4096);
    avitest::TestFile f;
    if (!f.openWith(mem, u"in.avi", "r")) return 0;

    if (f.hasVideo()) {
        const std::uint32_t frames = f.getVideoTotalFrames();
        for (std::uint32_t n = 0; n < frames && n < 10000; ++n) readFrame(f, n, size);
        // And in sequence, each form advancing the same counter.
        for (std::uint32_t n = 0; n < 10000 && !f.isEndOfVideo() && f.getErrorCode() == avi::errors::ERR_NONE; ++n)
            readFrame(f, avi::File::INVALID_FRAME_INDEX, size);
    }
    if (f.hasAudio()) {
        for (int i = 0; i < 100000 && !f.isEndOfAudio(); ++i) {
            f.clearError();
            readExact(777, size, [&](char* b) { f.readAudio(b, 777); });
            if (f.getErrorCode() != avi::errors::ERR_NONE) break;
        }
    }
    f.close();
    return 0;
}

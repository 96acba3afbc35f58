// Opens the input as an AVI file through the in-memory handler and reads every frame in all
// three forms and all audio.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "MemoryFileHandler.h"
#include "TestFile.h"

namespace {

// A frame larger than the input cannot be in it; the harness does not allocate for one.
bool plausible(std::uint64_t bytes, std::size_t inputSize) { return bytes <= inputSize + 4096; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto mem = std::make_shared<avitest::MemoryFileHandler>();
    mem->put(u"in.avi", avitest::MemoryFileHandler::Bytes(data, data + size));
    avitest::TestFile f;
    if (!f.openWith(mem, u"in.avi", "r")) return 0;

    if (f.hasVideo()) {
        const std::uint32_t frames = f.getVideoTotalFrames();
        std::vector<char> buffer;
        for (std::uint32_t n = 0; n < frames; ++n) {
            std::uint64_t need = f.getRawVideoFrameSize(n);
            const std::uint64_t rgb = f.getRGB24VideoFrameSize();
            const std::uint64_t indexed = f.getIndexedVideoFrameSize();
            if (rgb > need) need = rgb;
            if (indexed > need) need = indexed;
            if (!plausible(need, size)) continue;
            if (buffer.size() < need) buffer.resize(need);
            f.readVideoFrame(buffer.data(), n);
            f.readIndexedVideoFrame(buffer.data(), n);
            f.readRGB24VideoFrame(buffer.data(), n);
        }
        // And once in sequence.
        std::uint64_t need = f.getRGB24VideoFrameSize();
        if (plausible(need, size)) {
            if (buffer.size() < need) buffer.resize(need);
            while (!f.isEndOfVideo() && f.getErrorCode() == avi::errors::ERR_NONE)
                f.readRGB24VideoFrame(buffer.data());
        }
    }
    if (f.hasAudio()) {
        char chunk[777];
        for (int i = 0; i < 100000 && !f.isEndOfAudio(); ++i) {
            f.clearError();
            f.readAudio(chunk, sizeof chunk);
            if (f.getErrorCode() != avi::errors::ERR_NONE) break;
        }
    }
    f.close();
    return 0;
}

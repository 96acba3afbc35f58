// Drives the writer with an API sequence decoded from the input, then reads the result back
// and checks that what was written is what is read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "MemoryFileHandler.h"
#include "TestFile.h"

namespace {

struct Input {
    const std::uint8_t* p;
    std::size_t n;
    std::uint8_t byte() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
};

const unsigned BITS[] = {8, 16, 24, 32, 2, 4, 12};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    auto mem = std::make_shared<avitest::MemoryFileHandler>();
    avitest::TestFile w;
    if (!w.openWith(mem, u"out.avi", "w")) std::abort();

    const std::uint8_t streams = in.byte();
    const unsigned width = 1 + in.byte() % 64, height = 1 + in.byte() % 64;
    const unsigned bits = BITS[in.byte() % (sizeof BITS / sizeof BITS[0])];
    const unsigned audioBits = (in.byte() & 1) ? 16 : 8;
    const unsigned channels = 1 + in.byte() % 2;
    const unsigned chunk = 1 + in.u16() % 3000;
    w.setNumSuperIndexEntries(1 + in.byte() % 16);
    const bool audioFirst = streams & 4;
    if ((streams & 1) && !audioFirst) w.setVideoInfo(width, height, 1.0 + in.byte(), "", bits);
    if (streams & 2) w.setAudioInfo(8000.0 + in.u16(), audioBits, channels, chunk);
    if ((streams & 1) && audioFirst) w.setVideoInfo(width, height, 1.0 + in.byte(), "", bits);
    if (bits == 8) {
        std::vector<avi::tagRGBQUAD> pal(1 + in.byte());
        for (auto& e : pal) e.rgbBlue = e.rgbGreen = e.rgbRed = in.byte();
        w.setColormap(pal);
    }

    std::vector<std::vector<char>> frames;
    std::vector<char> audio;
    const std::uint32_t frameSize =
        w.getRGB24VideoFrameSize() ? w.getRGB24VideoFrameSize() : w.getIndexedVideoFrameSize();
    for (int ops = 0; ops < 200 && in.n > 0; ++ops) {
        const std::uint8_t op = in.byte();
        const char fill = static_cast<char>(in.byte());
        if ((op & 3) == 0 && w.hasVideo()) {
            std::uint32_t bytes = frameSize;
            if (bytes == 0) bytes = 1 + in.byte();  // bit depths without a fixed frame size
            std::vector<char> frame(bytes, fill);
            if (frameSize)
                w.writeVideoFrame(frame.data());
            else
                w.writeVideoFrame(frame.data(), bytes);
            frames.push_back(std::move(frame));
        } else if ((op & 3) == 1 && w.hasAudio()) {
            std::vector<char> block(chunk + 1, fill);
            w.writeAudio(block.data());
            audio.insert(audio.end(), block.begin(), block.begin() + chunk);
        }
    }
    const bool wroteCleanly = w.getErrorCode() == avi::errors::ERR_NONE;
    w.close();
    if (!w.hasVideo() && !w.hasAudio()) return 0;

    avitest::TestFile r;
    const bool opened = r.openWith(mem, u"out.avi", "r");
    // A clean write of a supported stream must read back exactly.
    if (!wroteCleanly || !opened || w.getErrorCode() != avi::errors::ERR_NONE) return 0;
    if (r.hasVideo() && frameSize != 0 && bits != 2 && bits != 4) {
        if (r.getVideoTotalFrames() != frames.size()) std::abort();
        std::vector<char> got(frameSize);
        for (std::size_t i = 0; i < frames.size(); ++i) {
            r.readVideoFrame(got.data(), static_cast<long long>(i));
            if (r.getErrorCode() != avi::errors::ERR_NONE || std::memcmp(got.data(), frames[i].data(), frameSize) != 0)
                std::abort();
        }
    }
    if (r.hasAudio() && !audio.empty() && r.getAudioTotalBytes() == audio.size()) {
        std::vector<char> got(audio.size());
        r.readAudio(got.data(), got.size());
        if (r.getErrorCode() != avi::errors::ERR_NONE || got != audio) std::abort();
    }
    return 0;
}

// Writes a short clip with an installed library and reads it back.
#include <avi/File.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "consumer.avi";
    const unsigned width = 32, height = 16, frames = 5;
    {
        avi::File out;
        if (!out.open(path, "w")) return std::fprintf(stderr, "%s\n", out.getErrorMsg()), 1;
        out.setVideoInfo(width, height, 25.0);
        std::vector<char> frame(width * height * 3);
        for (unsigned i = 0; i < frames; ++i) {
            for (auto& b : frame) b = static_cast<char>(i);
            out.writeVideoFrame(frame.data());
        }
        out.close();
        if (out.getErrorCode() != avi::errors::ERR_NONE) return std::fprintf(stderr, "%s\n", out.getErrorMsg()), 1;
    }
    avi::File in;
    if (!in.open(path, "r")) return std::fprintf(stderr, "%s\n", in.getErrorMsg()), 1;
    std::vector<char> frame(in.getRGB24VideoFrameSize());
    unsigned good = 0;
    for (unsigned i = 0; i < in.getVideoTotalFrames(); ++i) {
        in.readRGB24VideoFrame(frame.data());
        good += in.getErrorCode() == avi::errors::ERR_NONE && frame[0] == static_cast<char>(i);
    }
    std::printf("%s: %ux%u, %u of %u frames read back\n", path, in.getVideoWidth(), in.getVideoHeight(), good, frames);
    return good == frames ? 0 : 1;
}

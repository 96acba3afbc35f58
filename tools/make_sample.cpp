// Writes the sample clip the README's first command looks at: 2 s of a moving colour
// gradient (320x240, 24-bit, 25 fps) with a 440 Hz stereo tone.
#include <cmath>
#include <cstdio>
#include <vector>

#include "avi/File.h"

int main(int argc, char** argv) {
    if (argc != 2) return std::fprintf(stderr, "usage: %s OUT.avi\n", argv[0]), 2;
    const unsigned w = 320, h = 240, fps = 25, rate = 44100, frames = 50;
    avi::File f;
    if (!f.open(argv[1], "w")) return std::fprintf(stderr, "%s\n", f.getErrorMsg()), 1;
    f.setVideoInfo(w, h, fps);
    const unsigned samplesPerFrame = rate / fps;
    f.setAudioInfo(rate, 16, 2, samplesPerFrame * 4);
    std::vector<unsigned char> frame(w * h * 3);
    std::vector<short> sound(samplesPerFrame * 2);
    for (unsigned i = 0; i < frames; ++i) {
        for (unsigned y = 0; y < h; ++y)
            for (unsigned x = 0; x < w; ++x) {
                unsigned char* p = &frame[(y * w + x) * 3];
                p[0] = static_cast<unsigned char>(x + 4 * i);  // blue
                p[1] = static_cast<unsigned char>(y + 2 * i);  // green
                p[2] = static_cast<unsigned char>(255 - x);    // red
            }
        for (unsigned s = 0; s < samplesPerFrame; ++s) {
            const double t = static_cast<double>(i * samplesPerFrame + s) / rate;
            sound[2 * s] = sound[2 * s + 1] = static_cast<short>(8000 * std::sin(2 * M_PI * 440 * t));
        }
        f.writeVideoFrame(reinterpret_cast<const char*>(frame.data()));
        f.writeAudio(reinterpret_cast<const char*>(sound.data()));
    }
    f.close();
    if (f.getErrorCode() != avi::errors::ERR_NONE) return std::fprintf(stderr, "%s\n", f.getErrorMsg()), 1;
    return 0;
}

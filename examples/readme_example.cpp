// Copies an AVI file: every frame converted to 24-bit RGB, and the audio in blocks.
#include <avi/File.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) return std::puts("usage: readme_example IN.avi OUT.avi"), 2;
    avi::File in;
    if (!in.open(argv[1], "r")) return std::puts(in.getErrorMsg()), 1;

    avi::File out;
    if (!out.open(argv[2], "w")) return std::puts(out.getErrorMsg()), 1;
    out.setVideoInfo(in.getVideoWidth(), in.getVideoHeight(), in.getVideoFrameRate());  // 24-bit
    const unsigned blockBytes = 7056;  // 1764 stereo 16-bit samples: 1/25 s at 44.1 kHz
    if (in.hasAudio())
        out.setAudioInfo(in.getAudioSampleRate(), in.getAudioBitsPerSample(), in.getAudioNumberOfChannels(),
                         blockBytes);

    std::vector<char> frame(in.getRGB24VideoFrameSize()), audioBlock(blockBytes);
    while (!in.isEndOfVideo()) {
        in.readRGB24VideoFrame(frame.data());  // bottom-up rows, BGR, rows padded to 4 bytes
        if (in.getErrorCode()) return std::puts(in.getErrorMsg()), 1;
        out.writeVideoFrame(frame.data());
    }
    while (in.hasAudio() && !in.isEndOfAudio()) {
        in.readAudio(audioBlock.data(), blockBytes);  // the last block is zero-filled
        out.writeAudio(audioBlock.data());
    }
    in.close();
    out.close();  // the indexes and the header are written here
    if (out.getErrorCode()) return std::puts(out.getErrorMsg()), 1;
    std::printf("%s: %u frames\n", argv[2], in.getVideoTotalFrames());
    return 0;
}

// A file of more than 4 GiB: several RIFF AVIX segments written, read back with the right
// frame count and content, and read by ffmpeg to its last frame. Label "large".
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>

#include "TestFile.h"
#include "test_util.h"

namespace {

const std::uint32_t W = 1280, H = 720, FRAME = W * H * 3, FRAMES = 1700;  // 4.7 GB of frames
const std::uint32_t AUDIO = 48000 / 25 * 4;                               // 16-bit stereo, 25 fps

// Frame i: a fixed pattern whose first row encodes i.
std::vector<char> frame(std::uint32_t i) {
    static const std::vector<char> base = writetest::pattern(FRAME, 7);
    std::vector<char> f = base;
    for (std::uint32_t k = 0; k < W * 3; ++k) f[k] = static_cast<char>((i >> (8 * (k % 4))) & 0xFF);
    return f;
}

}  // namespace

TEST(LargeFile, MoreThanFourGiBInSeveralSegments) {
    writetest::TempDir dir;
    const std::string path = dir.file("large.avi");
    const auto t0 = std::chrono::steady_clock::now();
    avitest::TestFile out;
    ASSERT_TRUE(out.open(path.c_str(), "w"));
    out.setVideoInfo(W, H, 25.0);
    out.setAudioInfo(48000, 16, 2, AUDIO);
    const std::vector<char> sound = writetest::pattern(AUDIO, 9);
    for (std::uint32_t i = 0; i < FRAMES && out.getErrorCode() == avi::errors::ERR_NONE; ++i) {
        out.writeVideoFrame(frame(i).data());
        out.writeAudio(sound.data());
    }
    out.close();
    ASSERT_EQ(out.getErrorCode(), avi::errors::ERR_NONE) << out.getErrorMsg();
    const std::uint64_t bytes = std::stoull(writetest::run("stat -c %s '" + path + "'"));
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("wrote %.2f GB in %.1f s (%.0f MB/s)\n", double(bytes) / 1e9, s, double(bytes) / 1e6 / s);
    ASSERT_GT(bytes, 4ULL << 30);
    // At least three RIFF segments, each below 2 GiB.
    std::ifstream file(path, std::ios::binary);
    int segments = 0;
    for (std::uint64_t pos = 0; pos < bytes; ++segments) {
        char h[12];
        file.seekg(static_cast<std::streamoff>(pos)).read(h, 12);
        ASSERT_EQ(std::string(h, 4) + std::string(h + 8, 4), segments ? "RIFFAVIX" : "RIFFAVI ") << pos;
        ASSERT_LT(avi::fcns::char2uint32(h + 4), 1u << 31);
        pos += 8ULL + avi::fcns::char2uint32(h + 4);
    }
    EXPECT_GE(segments, 3);

    avitest::TestFile in;
    ASSERT_TRUE(in.open(path.c_str(), "r")) << in.getErrorMsg();
    ASSERT_EQ(in.getVideoTotalFrames(), FRAMES);
    std::vector<char> back(FRAME);
    for (std::uint32_t i = 0; i < FRAMES; ++i) {
        in.readVideoFrame(back.data());
        ASSERT_EQ(in.getErrorCode(), avi::errors::ERR_NONE) << "frame " << i;
        ASSERT_TRUE(back == frame(i)) << "frame " << i;
    }
    if (!writetest::onPath("ffprobe")) GTEST_SKIP() << "no ffprobe";
    bool ok = false;
    EXPECT_EQ(writetest::run("ffprobe -v error -select_streams v -count_packets -show_entries stream=nb_read_packets "
                             "-of csv=p=0 '" +
                                 path + "'",
                             &ok),
              std::to_string(FRAMES) + "\n");
    // The last frame, decoded by ffmpeg after a seek through the OpenDML index.
    const std::string last =
        writetest::run("ffmpeg -v error -sseof -0.5 -i '" + path +
                           "' -map 0:v -f rawvideo -pix_fmt bgr24 -vf vflip - | tail -c " + std::to_string(FRAME),
                       &ok);
    EXPECT_TRUE(last == std::string(frame(FRAMES - 1).data(), FRAME));
}

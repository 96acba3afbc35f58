// A file of more than 4 GiB: several RIFF AVIX segments written, read back with the right
// frame count and content, and read by ffmpeg to its last frame. Label "large".
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>

#include "TestFile.h"
#include "test_util.h"

using avitest::TestFile;
using writetest::run;
namespace err = avi::errors;

namespace {

const std::uint32_t W = 1280, H = 720, FRAME = W * H * 3, FRAMES = 1700;  // 4.7 GB of frames
const std::uint32_t AUDIO = 48000 / 25 * 4;                                 // 16-bit stereo, 25 fps

// Frame i: every byte of its first row encodes i, the rest is a fixed pattern.
void fill(std::vector<char>& f, std::uint32_t i) {
    for (std::uint32_t k = 0; k < W * 3; ++k) f[k] = static_cast<char>((i >> (8 * (k % 4))) & 0xFF);
}

}  // namespace

TEST(LargeFile, MoreThanFourGiBInSeveralSegments) {
    writetest::TempDir dir;
    const std::string path = dir.file("large.avi");
    std::vector<char> frame = writetest::pattern(FRAME, 7), sound = writetest::pattern(AUDIO, 9);
    const auto t0 = std::chrono::steady_clock::now();
    {
        TestFile out;
        ASSERT_TRUE(out.open(path.c_str(), "w"));
        out.setVideoInfo(W, H, 25.0);
        out.setAudioInfo(48000, 16, 2, AUDIO);
        for (std::uint32_t i = 0; i < FRAMES; ++i) {
            fill(frame, i);
            out.writeVideoFrame(frame.data());
            out.writeAudio(sound.data());
            ASSERT_EQ(out.getErrorCode(), err::ERR_NONE) << "frame " << i << ": " << out.getErrorMsg();
        }
        out.close();
        ASSERT_EQ(out.getErrorCode(), err::ERR_NONE) << out.getErrorMsg();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    ASSERT_GT(static_cast<std::uint64_t>(st.st_size), 4ULL << 30);
    const double bytes = static_cast<double>(st.st_size);
    std::printf("wrote %.2f GB in %.1f s (%.0f MB/s)\n", bytes / 1e9, seconds, bytes / 1e6 / seconds);

    // Each segment stays below 2 GiB; there are at least three.
    {
        FILE* f = std::fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        int segments = 0;
        for (std::uint64_t pos = 0; pos < static_cast<std::uint64_t>(st.st_size); ++segments) {
            unsigned char h[12];
            ASSERT_EQ(::fseeko(f, static_cast<off_t>(pos), SEEK_SET), 0);
            ASSERT_EQ(std::fread(h, 1, 12, f), 12u);
            ASSERT_EQ(std::memcmp(h, "RIFF", 4), 0) << "at " << pos;
            ASSERT_EQ(std::memcmp(h + 8, segments == 0 ? "AVI " : "AVIX", 4), 0);
            const std::uint32_t size = h[4] | (h[5] << 8) | (h[6] << 16) | (static_cast<std::uint32_t>(h[7]) << 24);
            ASSERT_LT(size, 1U << 31);
            pos += 8 + size + (size & 1);
        }
        std::fclose(f);
        EXPECT_GE(segments, 3);
    }

    TestFile in;
    ASSERT_TRUE(in.open(path.c_str(), "r")) << in.getErrorMsg();
    ASSERT_EQ(in.getVideoTotalFrames(), FRAMES);
    std::vector<char> back(FRAME), expect = writetest::pattern(FRAME, 7);
    for (std::uint32_t i = 0; i < FRAMES; ++i) {
        in.readVideoFrame(back.data());
        ASSERT_EQ(in.getErrorCode(), err::ERR_NONE) << "frame " << i;
        fill(expect, i);
        ASSERT_EQ(std::memcmp(back.data(), expect.data(), W * 3), 0) << "frame " << i;
        if (i % 400 == 0 || i + 1 == FRAMES) {
            ASSERT_TRUE(back == expect) << "frame " << i;
        }
    }

    if (!writetest::onPath("ffprobe")) GTEST_SKIP() << "no ffprobe";
    bool ok = false;
    const std::string count = run("ffprobe -v error -select_streams v -count_packets -show_entries "
                                  "stream=nb_read_packets -of csv=p=0 '" + path + "'", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(std::stoul(count), FRAMES);
    // The last frame, decoded by ffmpeg after a seek through the OpenDML index.
    const std::string last = run("ffmpeg -v error -sseof -0.5 -i '" + path +
                                 "' -map 0:v -f rawvideo -pix_fmt bgr24 -vf vflip - | tail -c " + std::to_string(FRAME), &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(last.size(), FRAME);
    fill(expect, FRAMES - 1);
    EXPECT_EQ(std::memcmp(last.data(), expect.data(), FRAME), 0);
}

// The fast read paths against an independent reader: top-down frames placed bottom-up by
// the local handler (odd rows, several vectors a frame, and small frames through its
// read-ahead window) must be ffmpeg's bottom-up decoding byte for byte; the 32-bit kernel
// must leave the padding byte of rows 4k+1 pixels wide as the buffer held it.
#include <gtest/gtest.h>

#include "TestFile.h"
#include "test_util.h"

TEST(PerfPaths, TopDownFramesAsFfmpegDecodesThemAndRowPaddingKept) {
    if (!writetest::onPath("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
    writetest::TempDir dir;
    for (const std::string size : {"341x30", "1000x300", "60x40", "5x3"}) {
        const std::string path = dir.file(size + ".avi");
        bool made = false, decoded = false;
        writetest::run("ffmpeg -v error -f lavfi -i testsrc=size=" + size +
                           ":rate=25 -frames:v 3 -c:v rawvideo -pix_fmt bgr24 -y " + path,
                       &made);
        const std::string want =
            writetest::run("ffmpeg -v error -i " + path + " -vf vflip -f rawvideo -pix_fmt bgr24 -", &decoded);
        ASSERT_TRUE(made && decoded) << size;
        avitest::TestFile f;
        ASSERT_TRUE(f.open(path.c_str(), "r")) << size;
        ASSERT_TRUE(f.topDown);
        // Stored rows are padded to 4 bytes; ffmpeg delivers them without.
        const std::size_t stride = f.videoFrameSize / f.getVideoHeight(), bytes = 3 * f.getVideoWidth();
        std::string got, frame(f.videoFrameSize, '\0');
        while (!f.isEndOfVideo()) {
            f.readVideoFrame(&frame[0]);
            for (std::size_t r = 0; r < f.getVideoHeight(); ++r) got += frame.substr(r * stride, bytes);
        }
        EXPECT_TRUE(got == want) << size << ": " << got.size() << " bytes, ffmpeg " << want.size();
    }
    for (const std::size_t w : {5, 13, 37}) {
        avitest::TestFile f;
        f.bitmapHeader = {40, static_cast<std::int32_t>(w), 2, 1, 32};
        f.videoFrameSize = static_cast<std::uint32_t>(8 * w);
        std::string buf(f.videoFrameSize, '\0');
        for (std::size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<char>(i + 1);
        f.rgb32ToRgb24WPad(&buf[0]);
        // Pixel bytes come from their raw pixel; the padding byte keeps raw byte i (value i + 1).
        const std::size_t row = 3 * w + 1;
        for (std::size_t i = 0; i < 2 * row; ++i) {
            const std::size_t r = i / row, x = i % row, raw = x < 3 * w ? (r * w + x / 3) * 4 + x % 3 : i;
            ASSERT_EQ(buf[i], static_cast<char>(raw + 1)) << "width " << w << ", byte " << i;
        }
    }
}

// Checks against independent readers: files made by ffmpeg are read as ffmpeg decodes them
// (top-down frames too, placed bottom-up by the local handler: odd rows, several vectors a
// frame, small frames through its read-ahead window), and files we write are read by
// ffprobe/ffmpeg and by GStreamer.
#include <gtest/gtest.h>

#include <cstring>

#include "AviBuilder.h"
#include "Shell.h"
#include "TestFile.h"

using avitest::onPath;
using avitest::pattern;
using avitest::run;
using avitest::TestFile;
namespace err = avi::errors;
using Bytes = std::vector<char>;

namespace {

std::size_t row4(std::size_t bytes) { return (bytes + 3) & ~std::size_t{3}; }

// Compares a bottom-up RGB24 buffer (rows padded to 4 bytes) with ffmpeg's packed top-down
// bgr24 frame; mask drops the low bits ffmpeg fills in when widening 5-bit channels.
::testing::AssertionResult sameImage(const char* ours, const char* theirs, std::size_t w, std::size_t h,
                                     unsigned char mask) {
    for (std::size_t r = 0; r < h; ++r)
        for (std::size_t k = 0; k < 3 * w; ++k) {
            const auto a = static_cast<unsigned char>(ours[(h - 1 - r) * row4(3 * w) + k]);
            const auto b = static_cast<unsigned char>(theirs[r * 3 * w + k]);
            if (a != (b & mask)) return ::testing::AssertionFailure() << "row " << r << " byte " << k;
        }
    return ::testing::AssertionSuccess();
}

std::string decode(const std::string& file, const std::string& what, bool* ok) {
    return run("ffmpeg -v error -i '" + file + "' " + what + " -", ok);
}
const char* const VIDEO = "-map 0:v -f rawvideo -pix_fmt bgr24";

}  // namespace

TEST(Oracle, FfmpegFilesReadAsFfmpegDecodesThem) {
    if (!onPath("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
    const struct {
        const char *pixFmt, *audio, *rawAudio;
        int w, h;
        unsigned char mask;
        bool topDownRead;  // frames through readVideoFrame on a top-down open
    } cases[] = {
        {"bgr24", "pcm_u8", "u8", 33, 17, 0xFF, false},     {"bgr24", "pcm_u8", "u8", 341, 30, 0xFF, true},
        {"bgr24", "pcm_u8", "u8", 1000, 300, 0xFF, true},   {"bgr24", "pcm_u8", "u8", 60, 40, 0xFF, true},
        {"bgr24", "pcm_u8", "u8", 5, 3, 0xFF, true},        {"bgra", "pcm_s16le", "s16le", 31, 9, 0xFF, false},
        {"bgra", "pcm_s16le", "s16le", 32, 3, 0xFF, false}, {"rgb555le", "pcm_s16le", "s16le", 31, 7, 0xF8, false},
        {"pal8", "pcm_u8", "u8", 35, 5, 0xFF, false}};
    avitest::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pixFmt + std::string(" ") + std::to_string(c.w));
        const std::string file = dir.file(std::string(c.pixFmt) + std::to_string(c.w) + ".avi");
        bool ok = false, okV = false, okA = false;
        run("ffmpeg -v error -y -f lavfi -i testsrc=size=" + std::to_string(c.w) + "x" + std::to_string(c.h) +
                ":rate=10 -f lavfi -i sine=f=440:r=11025 -ac 2 -t 1 -c:v rawvideo -pix_fmt " + c.pixFmt + " -c:a " +
                c.audio + " '" + file + "'",
            &ok);
        const std::string video = decode(file, VIDEO, &okV),
                          audio = decode(file, "-map 0:a -f " + std::string(c.rawAudio), &okA);
        ASSERT_TRUE(ok && okV && okA) << "ffmpeg could not make or decode the file";
        TestFile f;
        ASSERT_TRUE(f.open(file.c_str(), "r")) << f.getErrorMsg();
        ASSERT_TRUE(f.topDown || !c.topDownRead);
        const std::size_t frame = 3 * static_cast<std::size_t>(c.w * c.h);
        ASSERT_EQ(f.getVideoTotalFrames() * frame, video.size());
        EXPECT_EQ(f.getIndexedVideoFrameSize(), std::string(c.pixFmt) == "pal8" ? row4(c.w) * c.h : 0);
        Bytes rgb(std::max<std::size_t>(f.getRGB24VideoFrameSize(), f.videoFrameSize));
        ASSERT_GE(rgb.size(), row4(3 * c.w) * c.h);
        for (std::uint32_t i = 0; i < f.getVideoTotalFrames(); ++i) {
            c.topDownRead ? f.readVideoFrame(rgb.data()) : f.readRGB24VideoFrame(rgb.data());
            ASSERT_EQ(f.getErrorCode(), err::ERR_NONE) << f.getErrorMsg();
            ASSERT_TRUE(sameImage(rgb.data(), video.data() + i * frame, c.w, c.h, c.mask)) << "frame " << i;
        }
        // Odd-sized reads, so that every request straddles chunk boundaries.
        ASSERT_EQ(f.getAudioTotalBytes(), audio.size());
        std::string ours;
        for (Bytes buf(777); !f.isEndOfAudio() && f.getErrorCode() == err::ERR_NONE;) {
            f.readAudio(buf.data(), buf.size());
            ours.append(buf.data(), std::min(buf.size(), audio.size() - ours.size()));
        }
        EXPECT_EQ(f.getErrorCode(), err::ERR_NONE) << f.getErrorMsg();
        EXPECT_TRUE(ours == audio);
    }
}

// The 32-bit kernel leaves the padding byte of rows 4k+1 pixels wide as the buffer held it.
TEST(Oracle, Rgb32ToRgb24KeepsRowPadding) {
    for (const std::size_t w : {5, 13, 37}) {
        TestFile f;
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
// Files we write, as ffmpeg and GStreamer read them: every bit depth, frames given top-down,
// audio chunks of odd size. What the stored pixels mean is checked by the avitool depths case.
TEST(Oracle, WrittenFilesReadElsewhere) {
    if (!onPath("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
    const struct {
        unsigned bits, audioBits;
        bool topDownInput;
    } cases[] = {{8, 8, false}, {16, 16, false}, {24, 8, true}, {24, 16, false}, {32, 16, false}};
    const std::uint32_t w = 7, h = 5, frames = 6, audioChunk = 2 * 441;  // 16-bit stereo, 20 chunks a second
    avitest::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + "-bit" + (c.topDownInput ? ", top-down input" : ""));
        const std::string file = dir.file("w" + std::to_string(c.bits) + ".avi");
        const std::size_t line = w * c.bits / 8, stride = row4(line), size = stride * h;
        const std::size_t chunk = audioChunk * c.audioBits / 16;  // odd for 8 bits: a pad byte follows
        std::string stored, sound;
        TestFile out;
        ASSERT_TRUE(out.open(file.c_str(), "w"));
        out.setVideoInfo(w, h, 10.0, "", c.bits);
        if (c.bits == 8) out.setColormap(avitest::palette(256));
        out.setAudioInfo(22050, c.audioBits, 2, static_cast<unsigned>(chunk));
        for (std::uint32_t i = 0; i < frames; ++i) {
            Bytes img = pattern(size, i);
            for (std::size_t k = 0; k < size; ++k)  // row padding is not picture, nor alpha
                if (k % stride >= line || (c.bits == 32 && k % 4 == 3)) img[k] = 0;
            stored.append(img.data(), size);
            if (c.topDownInput) {
                for (std::size_t r = 0; r < h; ++r)
                    std::memcpy(&img[r * stride], &stored[stored.size() - size + (h - 1 - r) * stride], stride);
                out.convertFrameToBottomUp(img.data());
            }
            out.writeVideoFrame(img.data(), static_cast<unsigned>(size));
            for (int a = 0; a < 5; ++a) {
                const Bytes block = pattern(out.getAudioChunkSize(), 1000 + i * 5 + a);
                out.writeAudio(block.data());
                sound.append(block.data(), chunk);
            }
        }
        out.close();
        ASSERT_EQ(out.getErrorCode(), err::ERR_NONE) << out.getErrorMsg();
        bool ok = false;
        const std::string probe =
            run("ffprobe -v error -count_packets -show_entries stream=codec_type,width,height,"
                "nb_read_packets,sample_rate,channels -of compact=p=0 '" +
                    file + "'",
                &ok);
        ASSERT_TRUE(ok);
        EXPECT_NE(probe.find("codec_type=video|width=7|height=5|nb_read_packets=6"), std::string::npos) << probe;
        EXPECT_NE(probe.find("codec_type=audio|sample_rate=22050|channels=2"), std::string::npos) << probe;
        EXPECT_TRUE(decode(file, "-map 0:v -c:v copy -f rawvideo", &ok) == stored) << "stored frames";
        EXPECT_TRUE(decode(file, std::string("-map 0:a -c:a copy -f ") + (c.audioBits == 8 ? "u8" : "s16le"), &ok) ==
                    sound);
        if (!onPath("gst-launch-1.0")) continue;
        run("gst-launch-1.0 -q filesrc location='" + file +
                "' ! avidemux name=d d.video_0 ! queue ! fakesink d.audio_0 ! queue ! fakesink",
            &ok);
        EXPECT_TRUE(ok) << "GStreamer could not play the file";
    }
}

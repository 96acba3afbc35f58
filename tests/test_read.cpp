// Reading: frames and audio in every form, the three index sources, and hostile files that
// must end in an error code, never a crash, a hang or an allocation the file cannot justify.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>

#include "AviBuilder.h"
#include "TestFile.h"

using avitest::Avi;
using avitest::TestFile;
namespace err = avi::errors;
using Bytes = std::vector<char>;

namespace {

std::uint32_t row24(std::int32_t w) { return (static_cast<std::uint32_t>(w) * 3 + 3) & ~3u; }
// Byte k of frame i.
char frameByte(std::uint32_t i, std::uint32_t k) { return static_cast<char>(i * 16 + k); }
avitest::Content frames(std::int32_t w, std::int32_t h) {
    return [size = row24(w) * static_cast<std::uint32_t>(std::abs(h))](unsigned i) {
        std::string data(size, '\0');
        for (std::uint32_t k = 0; k < size; ++k) data[k] = frameByte(i, k);
        return data;
    };
}

// 24-bit video and, when asked, 8-bit mono audio chunks of 3 bytes (0 1 2 | 3 4 5 | ...).
Avi simple(std::uint32_t n, std::int32_t w, std::int32_t h, bool audio, bool idx1) {
    const avitest::Content sound = [](unsigned i) {
        return std::string{char(3 * i), char(3 * i + 1), char(3 * i + 2)};
    };
    Avi a{{avitest::video(w, h)}, {avitest::interleave(0, n, frames(w, h), audio ? sound : nullptr)}};
    if (audio) a.streams.push_back(avitest::audio());
    a.idx1 = idx1 ? Avi::Relative : Avi::NoIdx1;
    return a;
}

// OpenDML video only: one RIFF segment per element of `segments` (its frame count).
Avi openDml(const std::vector<std::uint32_t>& segments, std::int32_t w, std::int32_t h, bool nested = false) {
    Avi a{{avitest::video(w, h)}, {}, Avi::NoIdx1, nullptr, true};
    a.nested = nested;
    unsigned first = 0;
    for (const std::uint32_t n : segments)
        a.segments.push_back(avitest::interleave(first, first + n, frames(w, h))), first += n;
    return a;
}

}  // namespace

TEST(Read, SequentialAndNumberedFramesThroughEachIndexSource) {
    const struct {
        const char* name;
        Bytes bytes;
        std::uint32_t frames;
        std::int32_t w, h;  // h < 0: stored top-down, delivered bottom-up
    } cases[] = {
        {"idx1", build(simple(3, 5, 2, true, true)), 3, 5, 2},
        {"scan of movi", build(simple(3, 5, 2, true, false)), 3, 5, 2},
        {"top-down, 3 rows", build(simple(2, 4, -3, false, true)), 2, 4, -3},
        {"top-down, 1 row", build(simple(1, 4, -1, false, false)), 1, 4, -1},
        {"OpenDML, one segment", build(openDml({3}, 3, 2)), 3, 3, 2},
        {"OpenDML, three segments", build(openDml({2, 3, 1}, 3, 2)), 6, 3, 2},
        {"OpenDML, nested super index", build(openDml({2, 2}, 4, 1, true)), 4, 4, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestFile f;
        ASSERT_TRUE(f.openBytes(c.bytes)) << f.getErrorMsg();
        ASSERT_EQ(f.getVideoTotalFrames(), c.frames);
        const std::uint32_t row = row24(c.w), rows = static_cast<std::uint32_t>(std::abs(c.h)), size = row * rows;
        ASSERT_EQ(f.getRawVideoFrameSize(0), size);
        EXPECT_EQ(f.getVideoHeight(), rows);
        const auto expected = [&](std::uint32_t i, std::uint32_t k) {
            return frameByte(i, c.h > 0 ? k : (rows - 1 - k / row) * row + k % row);
        };
        Bytes buf(size);
        for (std::uint32_t i = 0; i < c.frames; ++i) {
            EXPECT_FALSE(f.isEndOfVideo());
            f.readVideoFrame(buf.data());
            ASSERT_EQ(f.getErrorCode(), err::ERR_NONE) << f.getErrorMsg();
            for (std::uint32_t k = 0; k < size; ++k)
                ASSERT_EQ(buf[k], expected(i, k)) << "frame " << i << " byte " << k;
        }
        EXPECT_TRUE(f.isEndOfVideo());
        std::fill(buf.begin(), buf.end(), 'x');
        f.readVideoFrame(buf.data());  // past the end: nothing, and no error
        EXPECT_EQ(f.getErrorCode(), err::ERR_NONE);
        EXPECT_EQ(buf[0], 'x');
        f.readVideoFrame(buf.data(), c.frames - 1);  // by number: does not move the sequential position
        EXPECT_EQ(buf[0], expected(c.frames - 1, 0));
        EXPECT_EQ(f.getVideoFramesRead(), c.frames);
        f.readVideoFrame(buf.data(), -7);  // out of range either way: nothing read
        f.readVideoFrame(buf.data(), c.frames);
        EXPECT_EQ(buf[0], expected(c.frames - 1, 0));
    }
}

TEST(Read, AudioIsOneStreamAcrossChunksZeroFilledAtItsEnd) {
    // Three-byte chunks 0 1 2 | 3 4 5; a scanned index counts each chunk's pad byte.
    const struct {
        bool idx1;
        std::uint32_t chunk;
        std::string first4, next4;
    } cases[] = {{true, 3, std::string("\0\1\2\3", 4), std::string("\4\5\0\0", 4)},
                 {false, 4, std::string("\0\1\2\0", 4), std::string("\3\4\0\0", 4)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.idx1);
        TestFile f;
        ASSERT_TRUE(f.openBytes(build(simple(2, 4, 1, true, c.idx1))));
        ASSERT_EQ(f.getAudioTotalBytes(), 6u);
        EXPECT_EQ(f.getAudioChunkSize(), c.chunk);
        char b[4] = {9, 9, 9, 9};
        f.readAudio(b, 0);
        f.readAudio(b, 4);
        EXPECT_EQ(std::string(b, 4), c.first4);
        std::fill(b, b + 4, 9);
        f.readAudio(b, 4);  // two bytes left: the rest is zero-filled
        EXPECT_EQ(std::string(b, 4), c.next4);
        EXPECT_TRUE(f.isEndOfAudio());
        b[0] = 'x';
        f.readAudio(b, 4);
        EXPECT_EQ(b[0], 'x');
        EXPECT_EQ(f.getErrorCode(), err::ERR_NONE);
        f.resetAudio();
        f.readAudio(b, 1);
        EXPECT_EQ(b[0], 0);
    }
    TestFile silent;
    ASSERT_TRUE(silent.openBytes(build(simple(1, 4, 1, false, true))));
    EXPECT_TRUE(silent.isEndOfAudio());
    char b[2];
    silent.readAudio(b, 2);
    EXPECT_EQ(silent.getErrorCode(), err::ERR_COMPRESSED_AUDIO);
}

TEST(Read, HostileFilesEndInAnErrorCode) {
    const Avi good = simple(2, 4, 2, true, true), odml = openDml({2}, 4, 1);
    const auto indx = static_cast<std::uint32_t>(avitest::find(build(odml), "indx"));
    const struct {
        const char* name;
        Bytes bytes;
        bool opens;
        err::error_T code;
    } cases[] = {
        {"not RIFF", build(good, {{"", 0, "RIFX"}}), false, err::ERR_RIFF_CHUNK_MISSING},
        {"WAVE form", build(good, {{"", 8, "WAVE"}}), false, err::ERR_WAVE_FILE},
        {"no hdrl", build(good, {{"", 20, "hdrX"}}), false, err::ERR_MAIN_HEADER_MISSING},
        {"JUNK before the strl", build(good, {{"strl", -8, "JUNK"}}), false, err::ERR_STREAM_LIST_MISSING},
        {"9 streams", build(good, {{"avih", 32, 9}}), false, err::ERR_TOO_MANY_STREAMS},
        {"strl of 4 GiB", build(good, {{"strl", -4, 0xFFFFFFF0u}}), false, err::ERR_FREAD_FAILED},
        {"strf past its list", build(good, {{"strf", 4, 0x7FFFFFF0u}}), false, err::ERR_BAD_STRL_LENGTH},
        {"bitmap header of 12 bytes", build(good, {{"strf", 4, 12}}), false, err::ERR_BAD_STRL_LENGTH},
        {"hdrl of 4 GiB", build(good, {{"", 16, 0xFFFFFFFCu}}), false, err::ERR_ALL_CHUNKS_MISSING},
        {"idx1 entry far outside the file", build(good, {{"idx1", 16, 0x7FFFFF00u}}), false,
         err::ERR_VIDEO_CHUNKS_MISSING},
        {"idx1 claiming 4 GiB", build(good, {{"idx1", 4, 0xFFFFFFF0u}}), false, err::ERR_LEGACY_INDEX_PARSE},
        {"zero-sized movi, no index", build(simple(2, 4, 2, true, false), {{"movi", -4, 0}}), false,
         err::ERR_ALL_CHUNKS_MISSING},
        {"top-down height of a billion rows", build(simple(2, 4, -2, false, true), {{"strf", 16, 0xC2000002u}}), true,
         err::ERR_NONE},
        {"width x height beyond 32 bits", build(good, {{"strf", 12, 0x40000000u}, {"strf", 16, 0x40000000u}}), true,
         err::ERR_NONE},
        {"2^32 - 16 frames claimed, none stored",
         build(simple(1, 4, 1, false, false), {{"avih", 24, 0xFFFFFFF0u}, {"00db", 0, "JUNK"}}), true, err::ERR_NONE},
        {"super index naming itself", build(odml, {{"indx", 32, indx}, {"indx", 40, 48}}), false,
         err::ERR_INVALID_INDEX},
        {"super index claiming 2^32 - 1 entries", build(odml, {{"indx", 12, 0xFFFFFFFFu}}), false,
         err::ERR_INVALID_INDEX},
        {"standard index claiming 2^32 - 1 entries", build(odml, {{"ix00", 12, 0xFFFFFFFFu}}), false,
         err::ERR_INVALID_INDEX},
        {"AVIX super-index entry past the end", build(openDml({1, 1}, 4, 1), {{"indx", 52, 256}}), false,
         err::ERR_FREAD_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto t0 = std::chrono::steady_clock::now();
        TestFile f;
        EXPECT_EQ(f.openBytes(c.bytes), c.opens);
        EXPECT_EQ(f.getErrorCode(), c.code) << f.getErrorMsg();
        // The frames are those the index holds, whatever the header claims.
        EXPECT_EQ(f.getVideoTotalFrames(), c.opens ? f.videoIndex.size() : f.getVideoTotalFrames());
        if (c.opens) avitest::readEverything(f);
        // Files of a few hundred bytes: anything near a second is a loop the file drives.
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 0.5);
    }
}

TEST(Read, EveryTruncationIsSafe) {
    // Every prefix of a small file of each index kind, opened and read to the end.
    for (const Bytes& whole : {build(simple(3, 3, 2, true, true)), build(openDml({2, 1}, 3, 1))})
        for (std::size_t n = 0; n < whole.size(); ++n) {
            TestFile f;
            if (f.openBytes(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n))))
                avitest::readEverything(f);
        }
}

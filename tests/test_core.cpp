// Error table, codecs, chunk primitives and the open/close lifecycle.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "MemoryFileHandler.h"
#include "TestFile.h"
#include "avi/LocalFileHandler.h"
#include "strutil/strutil.h"

using avi::errors::error_T;
using avitest::FaultyFileHandler;
using avitest::MemoryFileHandler;
using avitest::TestFile;

TEST(Errors, EveryCodeHasItsExactMessage) {
    TestFile f;
    f.fileName = "d\xC3\xA9mo.avi";
    const struct {
        std::uint32_t code;
        const char* msg;
    } table[] = {
        {1, "'d\xC3\xA9mo.avi' is not a valid AVI file (RIFF chunk is missing)"},
        {2, "'d\xC3\xA9mo.avi' is not a valid AVI file (AVI chunk is missing)"},
        {3, "Unable to open AVI file ('d\xC3\xA9mo.avi')"},
        {4, "Seek operation failed"},
        {5, "Fread operation failed"},
        {6, "Fwrite operation failed"},
        {7, "getFilePos operation failed"},
        {8, "setFilePos operation failed"},
        {9, "Number of frames reported in the AVI header does not match number of ##db chunks"},
        {10, "Corrupted file: audio chunks are missing"},
        {11, "Corrupted file: video chunks are missing"},
        {12, "Corrupted file: both audio and video chunks are missing"},
        {13, "Corrupted file: main AVI header information is missing"},
        {14, "Corrupted file: stream list is missing"},
        {15, "Encountered unexpected length of strl chunk"},
        {16, "Corrupted file: stream headers is missing"},
        {17, "Unable to read audio format header"},
        {18, "Unable to read video frame format header"},
        {19, "Unsupported bitmap header found"},
        {20, "Unsupported main header found"},
        {21, "Unsupported audio format header found"},
        {22, "Failed to read AVI colormap"},
        {23, "Cannot set colormap during read"},
        {24, "Colormap required to write this file"},
        {25, "Cannot over-write a non-empty colormap"},
        {26, "Colormap can only have maximum of 256 entries"},
        {27, "Out of memory"},
        {28, "AVI files with more than 8 streams are not supported"},
        {29, "Interleaved AVI files are not supported"},
        {30, "Unsupported audio stream.Audio must be 8 or 16 bits"},
        {31, "AVI files that require use of internal index are not supported"},
        {32, "Compressed video streams are not supported"},
        {33, "Compressed audio streams are not supported"},
        {34, "Unsupported read/write mode"},
        {35, "Invalid Legacy Index"},
        {36, "Error parsing the legacy index"},
        {37, "Unsupported AVI index type"},
        {38, "Invalid AVI index"},
        {39, "Invalid Index Offset Calculated"},
        {40, "Unsupported AVI file"},
        {41, "Invalid number of frames"},
        {42, "Invalid value for Bits Per Pixel"},
        {43, "WAVE files are only supported on Windows platforms."},
        {44, "Unknown error (2c)"},
        {45, "Read attempted for a video that is not indexed"},
        {46, "Unknown error (2e)"},
        {0, "Unknown error (0)"},
        {255, "Unknown error (ff)"},
        {0xFFFFFFFFu, "Unknown error (ffffffff)"},
    };
    for (const auto& row : table) {
        f.setError(static_cast<error_T>(row.code));
        EXPECT_EQ(f.getErrorCode(), row.code);
        EXPECT_STREQ(f.getErrorMsg(), row.msg) << "code " << row.code;
    }
    f.clearError();
    EXPECT_EQ(f.getErrorCode(), avi::errors::ERR_NONE);
    ASSERT_NE(f.getErrorMsg(), nullptr);
    EXPECT_STREQ(f.getErrorMsg(), "");
}

TEST(Codecs, EncodeAndDecodeAtTheEdges) {
    using namespace avi::fcns;
    // Decoders from unaligned addresses.
    alignas(8) char raw[16] = {};
    const unsigned char bytes[] = {0x01, 0, 0, 0, 0, 0, 0, 0x80};
    std::memcpy(raw + 3, bytes, 8);
    EXPECT_EQ(char2uint64(raw + 3), (1ULL << 63) + 1);
    const unsigned char le32[] = {0x78, 0x56, 0x34, 0x12};
    std::memcpy(raw + 1, le32, 4);
    EXPECT_EQ(char2uint32(raw + 1), 0x12345678u);
    EXPECT_EQ(char2uint16(raw + 1), 0x5678u);

    auto b32 = uint32ToChar(0x12345678u);
    EXPECT_EQ(std::string(b32.get(), 5), std::string("\x78\x56\x34\x12\x00", 5));
    auto b16 = uint16ToChar(0x1234);
    EXPECT_EQ(std::string(b16.get(), 3), std::string("\x34\x12\x00", 3));
    for (std::uint64_t v : {0ULL, 1ULL, 0xFFFFFFFFULL, 0x100000000ULL, ~0ULL}) {
        EXPECT_EQ(char2uint64(uint64ToChar(v).get()), v);
        EXPECT_EQ(char2uint32(uint32ToChar(static_cast<std::uint32_t>(v)).get()), static_cast<std::uint32_t>(v));
        EXPECT_EQ(char2uint16(uint16ToChar(static_cast<std::uint16_t>(v)).get()), static_cast<std::uint16_t>(v));
    }

    const struct {
        unsigned char b[4];
        std::uint32_t len;
    } lengths[] = {{{3, 0, 0, 0}, 4}, {{4, 0, 0, 0}, 4}, {{0xFF, 0xFF, 0xFF, 0xFF}, 0}, {{0xFE, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFEu}};
    for (const auto& row : lengths) EXPECT_EQ(getChunkLength(reinterpret_cast<const char*>(row.b)), row.len);

    const avi::IndexEntry e(8, 100, 1ULL << 32);
    EXPECT_EQ(e.getAbsolutePosition(), (1ULL << 32) + 8);
    const avi::SuperIndexEntry s(1ULL << 40, 56, 3);
    EXPECT_EQ(s.getPosition(), 1ULL << 40);
    EXPECT_EQ(s.getSize(), 56u);
    EXPECT_EQ(s.getDuration(), 3u);
}

TEST(ChunkPrimitives, HeadersAreByteExactAndFailuresReported) {
    auto mem = std::make_shared<FaultyFileHandler>();
    TestFile f;
    ASSERT_TRUE(f.openWith(mem, u"out.avi", "w"));
    f.writeChunk("abcd", 0x01020304u);
    f.writeList("LIST", 7, "movi");
    EXPECT_EQ(f.getErrorCode(), avi::errors::ERR_NONE);
    const auto& bytes = *mem->find(u"out.avi");
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
              std::string("abcd\x04\x03\x02\x01LIST\x07\x00\x00\x00movi", 20));

    // A failed header write still lets the list's form type through.
    mem->failFwriteAt = mem->fwriteCalls + 1;
    f.writeList("LIST", 4, "hdrl");
    EXPECT_EQ(f.getErrorCode(), avi::errors::ERR_FWRITE_FAILED);
    EXPECT_EQ(std::string(bytes.end() - 4, bytes.end()), "hdrl");
}

namespace {
std::string tempPath(const char* name) {
    return std::string(::testing::TempDir()) + "avi_core_" + std::to_string(::getpid()) + "_" + name;
}
}  // namespace

TEST(Lifecycle, ModesAndOpenFailures) {
    const struct {
        const char* mode;
        bool ok;
        std::uint32_t expectMode;
        std::uint32_t code;
    } cases[] = {
        {"w", true, 1, 0}, {"wb", true, 1, 0}, {"write", true, 1, 0},
        {"x", false, 0, avi::errors::ERR_UNSUPPORTED_MODE}, {"", false, 0, avi::errors::ERR_UNSUPPORTED_MODE},
        {"a", false, 0, avi::errors::ERR_UNSUPPORTED_MODE},
    };
    for (const auto& c : cases) {
        TestFile f;
        const std::string path = tempPath("mode.avi");
        EXPECT_EQ(f.open(path.c_str(), c.mode), c.ok) << c.mode;
        EXPECT_EQ(f.mode, c.expectMode) << c.mode;
        EXPECT_EQ(f.getErrorCode(), c.code) << c.mode;
        EXPECT_EQ(f.fileHandle != nullptr, c.ok);
        if (c.code == avi::errors::ERR_UNSUPPORTED_MODE) {
            EXPECT_STREQ(f.getErrorMsg(), "Unsupported read/write mode");
        }
        f.close();
        f.close();  // a second close does nothing
        std::remove(path.c_str());
    }

    TestFile missing;
    const std::string nowhere = tempPath("no/such/dir/x\xC3\xBC.avi");
    EXPECT_FALSE(missing.open(nowhere.c_str(), "r"));
    EXPECT_EQ(missing.getErrorCode(), avi::errors::ERR_OPEN_FAILED);
    EXPECT_EQ(std::string(missing.getErrorMsg()), "Unable to open AVI file ('" + nowhere + "')");

    TestFile unwritable;
    EXPECT_FALSE(unwritable.open(nowhere.c_str(), "w"));
    EXPECT_EQ(unwritable.mode, 1u);
    EXPECT_EQ(unwritable.getErrorCode(), avi::errors::ERR_OPEN_FAILED);

    TestFile never;
    never.close();
    EXPECT_EQ(never.getErrorCode(), avi::errors::ERR_NONE);
}

TEST(Lifecycle, ColonSlashAnywhereMeansRemote) {
    // Without a plug-in in place a remote open fails with ERR_OPEN_FAILED naming the URL; a
    // local path with colons elsewhere is opened locally.
    const std::string dir = tempPath("a:b");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    const std::string local = dir + "/x.avi";
    TestFile f;
    EXPECT_TRUE(f.open(local.c_str(), "w"));
    f.close();
    std::remove(local.c_str());
    ::rmdir(dir.c_str());
}

TEST(LocalHandler, PositionedTransfersAndSeeks) {
    const std::string path = tempPath("local.bin");
    avi::LocalFileHandler h;
    void* w = h.fopen(strutil::i18n::utf8_to_utf16(path), "wb");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(h.fwrite("0123456789", 1, 10, w), 10u);
    EXPECT_EQ(h.setFilePos(w, 2), 0);
    EXPECT_EQ(h.fwrite("ab", 1, 2, w), 2u);
    EXPECT_EQ(h.ftell(w), 4);
    EXPECT_EQ(h.fseek(w, 3, 1), 0);
    EXPECT_EQ(h.getFilePos(w), 7u);
    EXPECT_NE(h.fseek(w, -100, 1), 0);
    EXPECT_EQ(h.fseek(w, 20, 0), 0);  // a hole, as with stdio
    EXPECT_EQ(h.fwrite("Z", 1, 1, w), 1u);
    h.fclose(w);

    void* r = h.fopen(strutil::i18n::utf8_to_utf16(path), "rb");
    ASSERT_NE(r, nullptr);
    char buf[32] = {};
    EXPECT_EQ(h.fread(buf, 1, 32, r), 21u);
    EXPECT_EQ(std::string(buf, 10), "01ab456789");
    EXPECT_EQ(buf[15], 0);
    EXPECT_EQ(buf[20], 'Z');
    EXPECT_EQ(h.fread(buf, 1, 1, r), 0u);
    EXPECT_EQ(h.fwrite("x", 1, 1, r), 0u);  // read-only handle
    h.fclose(r);
    EXPECT_EQ(h.fopen(u"", "rb"), nullptr);
    EXPECT_EQ(h.fopen(strutil::i18n::utf8_to_utf16(::testing::TempDir()), "rb"), nullptr);  // a directory
    std::remove(path.c_str());
}

TEST(Strutil, PathsSurviveTheRoundTrip) {
    const std::string cases[] = {"plain.avi", "d\xC3\xA9j\xC3\xA0", "emoji \xF0\x9F\x8E\xA5", "bad \xFF\xFE bytes", ""};
    for (const auto& s : cases) {
        const std::u16string u = strutil::filesystem::codecvt_narrow_string_to_ustring(true)(s);
        EXPECT_EQ(strutil::filesystem::u16_to_native_path(u), s);
        EXPECT_EQ(strutil::i18n::to_string(u), s);
    }
    // For display, invalid bytes become U+FFFD.
    const std::u16string bad = strutil::filesystem::codecvt_narrow_string_to_ustring(true)("a\xFF");
    EXPECT_EQ(strutil::i18n::codecvt_ustring_to_string("UTF-8", true)(bad), "a\xEF\xBF\xBD");
    EXPECT_EQ(strutil::i18n::utf8_to_utf16("\xF0\x9F\x8E\xA5"), std::u16string(u"\U0001F3A5"));
    EXPECT_FALSE(strutil::filesystem::get_install_path().empty());
}

// Error table, the open/close lifecycle and the local handler.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "TestFile.h"
#include "avi/LocalFileHandler.h"
#include "strutil/strutil.h"

using avitest::TestFile;
namespace err = avi::errors;

namespace {
std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "avi_core_" + std::to_string(::getpid()) + "_" + name;
}
}  // namespace

TEST(Errors, EveryCodeHasItsExactMessage) {
    // Messages of codes 4 to 43, in order; codes 1 to 3 name the file.
    const std::string fixed =
        "Seek operation failed|Fread operation failed|Fwrite operation failed|getFilePos operation failed|"
        "setFilePos operation failed|"
        "Number of frames reported in the AVI header does not match number of ##db chunks|"
        "Corrupted file: audio chunks are missing|Corrupted file: video chunks are missing|"
        "Corrupted file: both audio and video chunks are missing|"
        "Corrupted file: main AVI header information is missing|Corrupted file: stream list is missing|"
        "Encountered unexpected length of strl chunk|Corrupted file: stream headers is missing|"
        "Unable to read audio format header|Unable to read video frame format header|Unsupported bitmap header found|"
        "Unsupported main header found|Unsupported audio format header found|Failed to read AVI colormap|"
        "Cannot set colormap during read|Colormap required to write this file|Cannot over-write a non-empty colormap|"
        "Colormap can only have maximum of 256 entries|Out of memory|"
        "AVI files with more than 8 streams are not supported|Interleaved AVI files are not supported|"
        "Unsupported audio stream.Audio must be 8 or 16 bits|"
        "AVI files that require use of internal index are not supported|Compressed video streams are not supported|"
        "Compressed audio streams are not supported|Unsupported read/write mode|Invalid Legacy Index|"
        "Error parsing the legacy index|Unsupported AVI index type|Invalid AVI index|Invalid Index Offset Calculated|"
        "Unsupported AVI file|Invalid number of frames|Invalid value for Bits Per Pixel|"
        "WAVE files are only supported on Windows platforms.";
    std::vector<std::pair<std::uint32_t, std::string>> table = {
        {1, "'d\xC3\xA9mo.avi' is not a valid AVI file (RIFF chunk is missing)"},
        {2, "'d\xC3\xA9mo.avi' is not a valid AVI file (AVI chunk is missing)"},
        {3, "Unable to open AVI file ('d\xC3\xA9mo.avi')"},
        {44, "Unknown error (2c)"},
        {45, "Read attempted for a video that is not indexed"},
        {46, "Unknown error (2e)"},
        {0, "Unknown error (0)"},
        {0xFFFFFFFFu, "Unknown error (ffffffff)"}};
    std::size_t from = 0;
    for (std::uint32_t code = 4; code <= 43; ++code) {
        const std::size_t to = std::min(fixed.find('|', from), fixed.size());
        table.emplace_back(code, fixed.substr(from, to - from));
        from = to + 1;
    }
    TestFile f;
    f.fileName = "d\xC3\xA9mo.avi";
    for (const auto& [code, msg] : table) {
        f.setError(static_cast<err::error_T>(code));
        EXPECT_EQ(f.getErrorMsg(), msg) << "code " << code;
    }
    f.clearError();
    EXPECT_EQ(f.getErrorCode(), err::ERR_NONE);
    EXPECT_STREQ(f.getErrorMsg(), "");
}

TEST(Lifecycle, ModesAndOpenFailures) {
    const std::string nowhere = tempPath("no/such/dir/x\xC3\xBC.avi");
    ASSERT_EQ(::mkdir(tempPath("a:b").c_str(), 0700), 0);  // a colon without a slash is local
    const struct {
        std::string path;
        const char* mode;
        bool ok;
        std::uint32_t mode_, code;
        std::string msg;
    } cases[] = {
        {tempPath("m.avi"), "w", true, 1, 0, ""},
        {tempPath("m.avi"), "write", true, 1, 0, ""},
        {tempPath("a:b/m.avi"), "wb", true, 1, 0, ""},
        {tempPath("m.avi"), "x", false, 0, err::ERR_UNSUPPORTED_MODE, "Unsupported read/write mode"},
        {tempPath("m.avi"), "", false, 0, err::ERR_UNSUPPORTED_MODE, "Unsupported read/write mode"},
        {nowhere, "r", false, 0, err::ERR_OPEN_FAILED, "Unable to open AVI file ('" + nowhere + "')"},
        {nowhere, "w", false, 1, err::ERR_OPEN_FAILED, "Unable to open AVI file ('" + nowhere + "')"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + c.mode);
        TestFile f;
        EXPECT_EQ(f.open(c.path.c_str(), c.mode), c.ok);
        EXPECT_EQ(f.mode, c.mode_);
        EXPECT_EQ(f.getErrorCode(), c.code);
        EXPECT_EQ(f.fileHandle != nullptr, c.ok);
        EXPECT_EQ(f.getErrorMsg(), c.msg);
        f.close();
        f.close();  // a second close does nothing
        EXPECT_EQ(f.getErrorCode(), c.code);
        std::remove(c.path.c_str());
    }
    ::rmdir(tempPath("a:b").c_str());
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
    EXPECT_TRUE(h.fseek(w, 0, 2) == 0 && h.getFilePos(w) == 10) << "the end, where sizes are taken";
    EXPECT_EQ(h.fseek(w, 20, 0), 0);  // a hole, as with stdio
    EXPECT_EQ(h.fwrite("Z", 1, 1, w), 1u);
    h.fclose(w);
    void* r = h.fopen(strutil::i18n::utf8_to_utf16(path), "rb");
    ASSERT_NE(r, nullptr);
    char buf[32] = {};
    EXPECT_EQ(h.fread(buf, 1, 32, r), 21u);
    EXPECT_EQ(std::string(buf, 21), std::string("01ab456789\0\0\0\0\0\0\0\0\0\0Z", 21));
    EXPECT_EQ(h.fread(buf, 1, 1, r), 0u);
    EXPECT_EQ(h.fwrite("x", 1, 1, r), 0u);  // read-only handle
    h.fclose(r);
    EXPECT_EQ(h.fopen(u"", "rb"), nullptr);
    EXPECT_EQ(h.fopen(strutil::i18n::utf8_to_utf16(::testing::TempDir()), "rb"), nullptr);  // a directory
    std::remove(path.c_str());
}

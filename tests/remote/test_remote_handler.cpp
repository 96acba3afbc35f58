// The HTTP handler plug-in driven directly with plain bytes served by nginx, and the
// error codes avi::File reports for the same failures.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <chrono>
#include <cstring>

#include "RemoteTestSupport.h"
#include "avi/File.h"
#include "strutil/strutil.h"

using namespace remotetest;
namespace err = avi::errors;

namespace {

std::u16string u16(const std::string& s) { return strutil::i18n::utf8_to_utf16(s); }
const std::size_t MiB = std::size_t(1) << 20;

#define REMOTE_HANDLER(h)         \
    auto h = makeRemoteHandler(); \
    ASSERT_TRUE(h) << "the remote plug-in could not be loaded"

}  // namespace

TEST(RemoteRead, DeliversTheServedBytesWhereverReadsFall) {
    START_NGINX(server);
    const std::size_t size = 5 * MiB + 12345;
    const std::vector<char> bytes = pattern(size, 7);
    writeFile(server.root() + "/data.bin", bytes);
    REMOTE_HANDLER(h);
    void* f = h->fopen(u16(server.url("data.bin")), "rb");
    ASSERT_NE(f, nullptr);
    const struct {
        const char* name;
        std::uint64_t pos;
        std::size_t length, expect;
    } reads[] = {
        {"header", 0, 12, 12},
        {"across the first block's end", MiB - 100, 200, 200},
        {"large read into the caller's buffer", 1000, 3 * MiB, 3 * MiB},
        {"just behind the large read", 1000 + 3 * MiB, 5000, 5000},
        {"last byte", size - 1, 1, 1},
        {"running past the end", size - 10, 100, 10},
        {"at the end", size, 10, 0},
        {"beyond the end", size + 1000, 10, 0},
        {"whole file", 0, size, size},
        {"back at the start", 0, 4096, 4096},
    };
    std::vector<char> buf(size + 100);
    for (const auto& r : reads) {
        ASSERT_EQ(h->setFilePos(f, r.pos), 0) << r.name;
        EXPECT_EQ(h->fread(buf.data(), 1, r.length, f), r.expect) << r.name;
        EXPECT_EQ(h->getFilePos(f), r.pos + r.expect) << r.name;
        EXPECT_EQ(std::memcmp(buf.data(), bytes.data() + r.pos, r.expect), 0) << r.name;
    }
    const std::int64_t last = static_cast<std::int64_t>(size) - 1;
    const struct {
        std::int64_t offset;
        int origin, rc;
        std::int64_t pos;
    } seeks[] = {{100, 0, 0, 100}, {-50, 1, 0, 50},  {-51, 1, -1, 50},
                 {-1, 0, -1, 50},  {-1, 2, 0, last}, {INT64_MAX, 1, -1, last}};
    for (const auto& s : seeks) {
        EXPECT_EQ(h->fseek(f, s.offset, s.origin) == 0, s.rc == 0) << s.offset << " from " << s.origin;
        EXPECT_EQ(h->ftell(f), s.pos) << s.offset << " from " << s.origin;
    }
    EXPECT_EQ(h->fread(buf.data(), 1, 1, f), 1u);
    EXPECT_EQ(buf[0], bytes[size - 1]);
    EXPECT_EQ(h->fwrite("x", 1, 1, f), 0u);  // read-only
    EXPECT_EQ(h->fclose(f), 0);
}

// Opens that cannot succeed give no handle, quickly; avi::File reports them as
// ERR_OPEN_FAILED naming the location. Servers that answer the size but then ignore or
// refuse ranges, or cut a body short, fail the read instead of delivering wrong bytes.
TEST(RemoteOpen, FailuresGiveNoHandleOrNoBytes) {
    START_NGINX(server);
    const std::vector<char> bytes = pattern(3 * MiB, 1);
    for (const char* dir : {"", "/norange", "/flaky"}) {
        ::mkdir((server.root() + dir).c_str(), 0755);
        writeFile(server.root() + dir + "/data.bin", bytes);
    }
    HalfBodyServer truncating(bytes.size());
    const std::string refused = "http://127.0.0.1:" + std::to_string(closedPort()) + "/data.bin";
    const struct {
        std::string url;
        const char* mode;
        bool opens;
        err::error_T code;
    } cases[] = {
        {refused, "rb", false, err::ERR_OPEN_FAILED},
        {refused, "wb", false, err::ERR_OPEN_FAILED},
        {server.url("missing.bin"), "rb", false, err::ERR_OPEN_FAILED},
        {server.url("fail/data.bin"), "rb", false, err::ERR_OPEN_FAILED},
        {server.url("drop/data.bin"), "rb", false, err::ERR_OPEN_FAILED},
        {"ftp://127.0.0.1/data.bin", "rb", false, err::ERR_OPEN_FAILED},
        {"/tmp/x:/data.bin", "rb", false, err::ERR_OPEN_FAILED},
        {server.url("data.bin"), "ab", false, err::ERR_UNSUPPORTED_MODE},
        {server.url("norange/data.bin"), "rb", true, err::ERR_FREAD_FAILED},
        {server.url("flaky/data.bin"), "rb", true, err::ERR_FREAD_FAILED},
        {truncating.url("data.bin"), "rb", true, err::ERR_FREAD_FAILED},
    };
    REMOTE_HANDLER(h);
    std::vector<char> buf(2 * MiB);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " " + c.mode);
        const auto start = std::chrono::steady_clock::now();
        void* f = h->fopen(u16(c.url), c.mode);
        EXPECT_EQ(f != nullptr, c.opens);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        if (f != nullptr) {
            EXPECT_EQ(h->fread(buf.data(), 1, 100, f), 0u);
            EXPECT_EQ(h->setFilePos(f, 100000), 0);
            EXPECT_EQ(h->fread(buf.data(), 1, buf.size(), f), 0u) << "large read";
            EXPECT_EQ(h->fclose(f), 0);
        }
        avi::File file;
        EXPECT_FALSE(file.open(c.url.c_str(), std::string(1, c.mode[0]).c_str()));
        EXPECT_EQ(file.getErrorCode(), c.code);
        EXPECT_EQ(file.getErrorMsg(), c.code == err::ERR_OPEN_FAILED    ? "Unable to open AVI file ('" + c.url + "')"
                                      : c.code == err::ERR_FREAD_FAILED ? "Fread operation failed"
                                                                        : "Unsupported read/write mode");
    }
}

TEST(RemoteRead, AResourceThatChangesMidReadIsNeverMixedIn) {
    START_NGINX(server);
    const std::size_t size = 4 * MiB;
    const std::string path = server.root() + "/live.bin";
    REMOTE_HANDLER(h);
    std::vector<char> buf(1000);
    for (const std::size_t newSize : {size, size + 1000, size / 2}) {
        SCOPED_TRACE(newSize);
        writeFile(path, pattern(size, 1));
        void* f = h->fopen(u16(server.url("live.bin")), "rb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(h->fread(buf.data(), 1, 100, f), 100u);
        writeFile(path, pattern(newSize, 2));
        // The entity tag is made of the size and the modification time: move the time.
        struct stat st {};
        ::stat(path.c_str(), &st);
        const utimbuf times{st.st_atime + 100, st.st_mtime + 100};
        ::utime(path.c_str(), &times);
        EXPECT_EQ(h->setFilePos(f, 2 * MiB), 0);
        EXPECT_EQ(h->fread(buf.data(), 1, buf.size(), f), 0u);
        // Once the change is seen, not even the cached bytes are delivered.
        EXPECT_EQ(h->setFilePos(f, 0), 0);
        EXPECT_EQ(h->fread(buf.data(), 1, 10, f), 0u);
        h->fclose(f);
    }
}

TEST(RemoteWrite, AFailedUploadIsReportedByFclose) {
    START_NGINX(server);
    REMOTE_HANDLER(h);
    for (const auto& [url, size] :
         std::vector<std::pair<std::string, std::size_t>>{{server.url("fail/out.bin"), 1000},
                                                          {server.url("fail/out.bin"), 2 * MiB},
                                                          {server.url("drop/out.bin"), 2 * MiB}}) {
        SCOPED_TRACE(url + " " + std::to_string(size));
        const std::vector<char> bytes = pattern(size, 2);
        void* f = h->fopen(u16(url), "wb");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(h->fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        EXPECT_NE(h->fclose(f), 0);
    }
}

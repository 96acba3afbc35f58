// The HTTP handler plug-in driven directly with plain bytes served by nginx: reads wherever
// they fall, and a resource that changes under a reader. Failures as a user meets them
// (refused, 404, no ranges, failed uploads, TLS) are checked by the avitool remote case.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstring>

#include "RemoteTestSupport.h"
#include "strutil/strutil.h"

using namespace remotetest;

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

// The HTTP handler plug-in driven directly with plain bytes served over HTTP: reads wherever
// they fall, and a resource that changes under a reader. The avitool remote case runs this
// program against its nginx, with AVI_TEST_HTTP (the server's URL) and AVI_TEST_WWW (the
// folder it serves); failures as a user meets them are checked by that case itself.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstring>
#include <fstream>

#include "AviBuilder.h"
#include "TestFile.h"
#include "strutil/strutil.h"

using avitest::pattern;

namespace {

const std::size_t MiB = std::size_t(1) << 20;

// The server, and a handler of the remote plug-in the library loads.
struct Remote {
    const char *http = std::getenv("AVI_TEST_HTTP"), *www = std::getenv("AVI_TEST_WWW");
    avitest::TestFile carrier;
    std::shared_ptr<avi::IFileHandler> h = carrier.handlerFor(u"http://127.0.0.1/");
    std::u16string url(const std::string& name) const {
        return strutil::i18n::utf8_to_utf16(std::string(http) + "/" + name);
    }
    std::string put(const std::string& name, const std::vector<char>& bytes) const {
        const std::string path = std::string(www) + "/" + name;
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path;
    }
};

#define REMOTE(r)                                                                         \
    Remote r;                                                                             \
    if (r.http == nullptr || r.www == nullptr) GTEST_SKIP() << "AVI_TEST_HTTP/WWW unset"; \
    ASSERT_TRUE(r.h) << "the remote plug-in could not be loaded";                         \
    auto& h = r.h

}  // namespace

TEST(RemoteRead, DeliversTheServedBytesWhereverReadsFall) {
    REMOTE(server);
    const std::size_t size = 5 * MiB + 12345;
    const std::vector<char> bytes = pattern(size, 7);
    server.put("data.bin", bytes);
    void* f = h->fopen(server.url("data.bin"), "rb");
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
    REMOTE(server);
    const std::size_t size = 4 * MiB;
    std::vector<char> buf(1000);
    for (const std::size_t newSize : {size, size + 1000, size / 2}) {
        SCOPED_TRACE(newSize);
        server.put("live.bin", pattern(size, 1));
        void* f = h->fopen(server.url("live.bin"), "rb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(h->fread(buf.data(), 1, 100, f), 100u);
        const std::string path = server.put("live.bin", pattern(newSize, 2));
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

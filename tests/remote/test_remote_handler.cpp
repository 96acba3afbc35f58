// The HTTP handler plug-in driven directly, with plain bytes served by nginx.
#include <dirent.h>
#include <sys/stat.h>
#include <utime.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "RemoteTestSupport.h"
#include "strutil/strutil.h"

using namespace remotetest;

namespace {

std::u16string u16(const std::string& s) { return strutil::i18n::utf8_to_utf16(s); }

#define START_NGINX(server)                          \
    Nginx server;                                    \
    {                                                \
        std::string why;                             \
        if (!server.start(why)) GTEST_SKIP() << why; \
    }

std::shared_ptr<avi::IFileHandler> handler() {
    auto h = makeRemoteHandler();
    if (!h) ADD_FAILURE() << "the remote plug-in could not be loaded";
    return h;
}

std::size_t entriesIn(const std::string& dir) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
        ::closedir(d);
    }
    return n;
}

// Points the spool of "wb" handles at a directory of the test's own.
struct ScopedTmpdir {
    explicit ScopedTmpdir(const std::string& dir) {
        const char* old = std::getenv("TMPDIR");
        hadOld = old != nullptr;
        if (hadOld) oldValue = old;
        ::setenv("TMPDIR", dir.c_str(), 1);
    }
    ~ScopedTmpdir() {
        if (hadOld)
            ::setenv("TMPDIR", oldValue.c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }
    bool hadOld;
    std::string oldValue;
};

const std::size_t MiB = std::size_t(1) << 20;

}  // namespace

TEST(RemoteRead, DeliversTheServedBytesWhereverReadsFall) {
    START_NGINX(server);
    const std::size_t size = 5 * MiB + 12345;
    const std::vector<char> bytes = pattern(size, 7);
    writeFile(server.root() + "/data.bin", bytes);
    auto h = handler();
    ASSERT_TRUE(h);
    void* f = h->fopen(u16(server.url("data.bin")), "rb");
    ASSERT_NE(f, nullptr);

    const struct {
        const char* name;
        std::uint64_t pos;
        std::size_t length;
        std::size_t expect;
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

    const struct {
        std::int64_t offset;
        int origin;
        int rc;
        std::int64_t pos;
    } seeks[] = {
        {100, 0, 0, 100}, {-50, 1, 0, 50}, {-51, 1, -1, 50}, {-1, 0, -1, 50},
        {-1, 2, 0, static_cast<std::int64_t>(size) - 1}, {INT64_MAX, 1, -1, static_cast<std::int64_t>(size) - 1},
    };
    for (const auto& s : seeks) {
        EXPECT_EQ(h->fseek(f, s.offset, s.origin) == 0, s.rc == 0) << s.offset << " from " << s.origin;
        EXPECT_EQ(h->ftell(f), s.pos) << s.offset << " from " << s.origin;
    }
    char last = 0;
    EXPECT_EQ(h->fread(&last, 1, 1, f), 1u);
    EXPECT_EQ(last, bytes[size - 1]);
    EXPECT_EQ(h->fwrite("x", 1, 1, f), 0u);  // read-only
    EXPECT_EQ(h->fclose(f), 0);
}

TEST(RemoteRead, SequentialReadsCostAFewRequestsPerMegabytes) {
    START_NGINX(server);
    // Frames of 640x480x24 behind 8-byte chunk headers, read in order.
    const std::size_t frame = 921600, stride = frame + 8, frames = 26;
    const std::vector<char> bytes = pattern(stride * frames, 3);
    writeFile(server.root() + "/frames.bin", bytes);
    auto h = handler();
    ASSERT_TRUE(h);
    void* f = h->fopen(u16(server.url("frames.bin")), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<char> buf(frame);
    for (std::size_t i = 0; i < frames; ++i) {
        char header[8];
        ASSERT_EQ(h->setFilePos(f, i * stride), 0);
        ASSERT_EQ(h->fread(header, 1, 8, f), 8u) << i;
        ASSERT_EQ(h->fread(buf.data(), 1, frame, f), frame) << i;
        ASSERT_EQ(std::memcmp(header, bytes.data() + i * stride, 8), 0) << i;
        ASSERT_EQ(std::memcmp(buf.data(), bytes.data() + i * stride + 8, frame), 0) << i;
    }
    h->fclose(f);
    // 24 MB: read-ahead of 1, 2, 4 and then 8 MiB per request.
    EXPECT_EQ(server.requests("HEAD"), 1u);
    EXPECT_LE(server.requests("GET"), 6u);
}

TEST(RemoteOpen, UnreachableOrMissingResourcesGiveNoHandle) {
    START_NGINX(server);
    writeFile(server.root() + "/data.bin", pattern(1000, 1));
    const std::string refused = "http://127.0.0.1:" + std::to_string(closedPort()) + "/data.bin";
    const struct {
        const char* name;
        std::string url;
        const char* mode;
    } cases[] = {
        {"connection refused (read)", refused, "rb"},
        {"connection refused (write)", refused, "wb"},
        {"404", server.url("missing.bin"), "rb"},
        {"500", server.url("fail/data.bin"), "rb"},
        {"not http", "ftp://127.0.0.1/data.bin", "rb"},
        {"not a URL", "/tmp/x:/data.bin", "rb"},
        {"unknown mode", server.url("data.bin"), "ab"},
    };
    auto h = handler();
    ASSERT_TRUE(h);
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        void* f = h->fopen(u16(c.url), c.mode);
        EXPECT_EQ(f, nullptr) << c.name;
        if (f != nullptr) h->fclose(f);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.name;
    }
}

TEST(RemoteRead, MisbehavingServersFailTheReadInsteadOfDeliveringWrongBytes) {
    START_NGINX(server);
    const std::size_t size = 3 * MiB;
    const std::vector<char> bytes = pattern(size, 1);
    for (const char* dir : {"/norange", "/flaky"}) {
        ::mkdir((server.root() + dir).c_str(), 0755);
        writeFile(server.root() + dir + "/data.bin", bytes);
    }
    MisbehavingServer truncating(MisbehavingServer::Mode::HalfBody, size);
    ASSERT_TRUE(truncating.ok());
    const struct {
        const char* name;
        std::string url;
    } cases[] = {
        {"ranges ignored", server.url("norange/data.bin")},
        {"ranged requests refused with 503", server.url("flaky/data.bin")},
        {"connection closed mid-body", truncating.url("data.bin")},
    };
    auto h = handler();
    ASSERT_TRUE(h);
    std::vector<char> buf(2 * MiB);
    for (const auto& c : cases) {
        void* f = h->fopen(u16(c.url), "rb");
        ASSERT_NE(f, nullptr) << c.name;  // the size is known, so the open succeeds
        EXPECT_EQ(h->fread(buf.data(), 1, 100, f), 0u) << c.name;
        EXPECT_EQ(h->setFilePos(f, 100000), 0);
        EXPECT_EQ(h->fread(buf.data(), 1, buf.size(), f), 0u) << c.name << " (large read)";
        EXPECT_EQ(h->fclose(f), 0) << c.name;
    }
}

TEST(RemoteRead, AResourceThatChangesMidReadIsNeverMixedIn) {
    START_NGINX(server);
    const std::size_t size = 4 * MiB;
    const struct {
        const char* name;
        std::size_t newSize;
    } cases[] = {{"same size, new content", size}, {"grown", size + 1000}, {"shrunk", size / 2}};
    auto h = handler();
    ASSERT_TRUE(h);
    const std::string path = server.root() + "/live.bin";
    std::vector<char> buf(1000);
    for (const auto& c : cases) {
        writeFile(path, pattern(size, 1));
        void* f = h->fopen(u16(server.url("live.bin")), "rb");
        ASSERT_NE(f, nullptr) << c.name;
        ASSERT_EQ(h->fread(buf.data(), 1, 100, f), 100u) << c.name;

        writeFile(path, pattern(c.newSize, 2));
        // The entity tag is made of the size and the modification time: move the time.
        struct stat st {};
        ::stat(path.c_str(), &st);
        const utimbuf times{st.st_atime + 100, st.st_mtime + 100};
        ::utime(path.c_str(), &times);

        EXPECT_EQ(h->setFilePos(f, 2 * MiB), 0);
        EXPECT_EQ(h->fread(buf.data(), 1, buf.size(), f), 0u) << c.name;
        // Once the change is seen, not even the cached bytes are delivered.
        EXPECT_EQ(h->setFilePos(f, 0), 0);
        EXPECT_EQ(h->fread(buf.data(), 1, 10, f), 0u) << c.name;
        h->fclose(f);
    }
}

TEST(RemoteWrite, SpoolsLocallyAndUploadsWithOnePutAtClose) {
    START_NGINX(server);
    TempDir spool;
    ScopedTmpdir tmp(spool.path);
    const std::vector<char> bytes = pattern(3 * MiB + 7, 5);
    auto h = handler();
    ASSERT_TRUE(h);
    void* f = h->fopen(u16(server.url("up/nested/dir/out.bin")), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(h->fwrite(bytes.data(), 1, 12, f), 12u);  // room for a header, patched at the end
    for (std::size_t at = 12; at < bytes.size(); at += 100000) {
        const std::size_t n = std::min<std::size_t>(100000, bytes.size() - at);
        ASSERT_EQ(h->fwrite(bytes.data() + at, 1, n, f), n);
    }
    EXPECT_EQ(h->ftell(f), static_cast<std::int64_t>(bytes.size()));
    EXPECT_EQ(h->fseek(f, 0, 0), 0);
    EXPECT_EQ(h->fwrite("HEADERHEADER", 1, 12, f), 12u);
    char back[12];
    EXPECT_EQ(h->setFilePos(f, 0), 0);
    EXPECT_EQ(h->fread(back, 1, 12, f), 12u);
    EXPECT_EQ(std::string(back, 12), "HEADERHEADER");
    EXPECT_EQ(server.requests("PUT"), 0u);  // nothing is sent before fclose
    EXPECT_EQ(h->fclose(f), 0);

    std::vector<char> expect = bytes;
    std::memcpy(expect.data(), "HEADERHEADER", 12);
    EXPECT_EQ(readFile(server.root() + "/up/nested/dir/out.bin"), expect);
    EXPECT_EQ(server.requests("PUT"), 1u);
    EXPECT_EQ(entriesIn(spool.path), 0u);
}

TEST(RemoteWrite, AFailedUploadIsReportedByFclose) {
    START_NGINX(server);
    TempDir spool;
    ScopedTmpdir tmp(spool.path);
    MisbehavingServer closing(MisbehavingServer::Mode::CloseAtOnce, 0);
    ASSERT_TRUE(closing.ok());
    const struct {
        const char* name;
        std::string url;
        std::size_t size;
    } cases[] = {
        {"500, small body", server.url("fail/out.bin"), 1000},
        {"500, large body", server.url("fail/out.bin"), 2 * MiB},
        {"connection closed", closing.url("out.bin"), 2 * MiB},
    };
    auto h = handler();
    ASSERT_TRUE(h);
    std::size_t kept = 0;
    for (const auto& c : cases) {
        const std::vector<char> bytes = pattern(c.size, 2);
        void* f = h->fopen(u16(c.url), "wb");
        ASSERT_NE(f, nullptr) << c.name;
        EXPECT_EQ(h->fwrite(bytes.data(), 1, bytes.size(), f), bytes.size()) << c.name;
        EXPECT_NE(h->fclose(f), 0) << c.name;
        EXPECT_EQ(entriesIn(spool.path), ++kept) << c.name;  // a failed upload keeps its bytes
    }
}

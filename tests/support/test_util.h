#pragma once
// Helpers shared by the tests: byte inspection of written files, a sparse in-memory
// handler for multi-GiB layouts, temporary files and the external decoders.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "MemoryFileHandler.h"
#include "avi/IFileHandler.h"
#include "avi/records.h"

namespace writetest {

inline std::uint32_t u32(const std::vector<char>& b, std::uint64_t off) {
    if (off + 4 > b.size()) {
        ADD_FAILURE() << "read of 4 bytes at " << off << " past the end " << b.size();
        return 0;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(b.data() + off);
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t u64(const std::vector<char>& b, std::uint64_t off) {
    return u32(b, off) | (static_cast<std::uint64_t>(u32(b, off + 4)) << 32);
}
inline std::string fourcc(const std::vector<char>& b, std::uint64_t off) {
    if (off + 4 > b.size()) return "<eof>";
    return std::string(b.data() + off, 4);
}

// A writable in-memory file that keeps only the first `keep` bytes of each write, so that
// layouts of several GiB (headers, indexes, segment boundaries) can be checked exactly
// without the data. It reads only those bytes of the caller's buffer, so a test may pass a
// small buffer with a large declared size. Later writes win where pieces overlap; the
// writer only ever overwrites gaps it left, so the bytes a piece dropped are never read.
class SparseFileHandler : public avi::IFileHandler {
public:
    static constexpr std::size_t keep = 4096;
    std::vector<std::pair<std::uint64_t, std::vector<char>>> pieces;  // in write order
    std::uint64_t pos = 0, size = 0, fwrites = 0;

    void* fopen(std::u16string, const char* mode) override {
        if (mode[0] == 'w') pieces.clear(), size = 0;
        pos = 0;
        return this;
    }
    std::size_t fwrite(const void* buffer, std::size_t, std::size_t count, void*) override {
        ++fwrites;
        const auto* p = static_cast<const char*>(buffer);
        pieces.emplace_back(pos, std::vector<char>(p, p + std::min(count, keep)));
        pos += count;
        size = std::max(size, pos);
        return count;
    }
    std::size_t fread(void* buffer, std::size_t, std::size_t count, void*) override {
        const std::size_t n = pos >= size ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(count, size - pos));
        const auto b = at(pos, n);
        std::copy(b.begin(), b.end(), static_cast<char*>(buffer));
        pos += n;
        return n;
    }
    int fseek(void*, std::int64_t offset, int origin) override {
        const std::int64_t to = (origin == 1 ? static_cast<std::int64_t>(pos) : 0) + offset;
        if (to < 0) return -1;
        pos = static_cast<std::uint64_t>(to);
        return 0;
    }
    std::int64_t ftell(void*) override { return static_cast<std::int64_t>(pos); }
    int fclose(void*) override { return 0; }
    std::uint64_t getFilePos(void*) override { return pos; }
    int setFilePos(void*, std::uint64_t p) override { return pos = p, 0; }

    // Bytes [off, off + n), zeros where nothing was kept.
    std::vector<char> at(std::uint64_t off, std::size_t n) const {
        std::vector<char> out(n, 0);
        for (const auto& [s, piece] : pieces) {
            const std::uint64_t from = std::max(s, off), to = std::min(s + piece.size(), off + n);
            if (from < to) std::memcpy(out.data() + (from - off), piece.data() + (from - s), to - from);
        }
        return out;
    }
};

// A temporary directory (in TMPDIR, else /tmp) removed with its files at the end of the scope.
struct TempDir {
    std::string path = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/avi_test_XXXXXX";
    TempDir() { path = ::mkdtemp(path.data()) ? path : std::string(); }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

inline bool onPath(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command and returns its standard output; ok is false on a non-zero exit.
inline std::string run(const std::string& cmd, bool* ok = nullptr) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) {
        if (ok) *ok = false;
        return out;
    }
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = ::pclose(p);
    if (ok) *ok = rc == 0;
    return out;
}

// A palette of n distinct entries.
inline std::vector<avi::tagRGBQUAD> palette(std::size_t n) {
    std::vector<avi::tagRGBQUAD> p(n);
    for (std::size_t i = 0; i < n; ++i)
        p[i] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i), static_cast<std::uint8_t>(i * 7), 0};
    return p;
}

// Deterministic test content.
inline std::vector<char> pattern(std::size_t n, unsigned seed) {
    std::vector<char> v(n);
    std::uint32_t x = seed * 2654435761u + 12345u;
    for (auto& c : v) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return v;
}

}  // namespace writetest

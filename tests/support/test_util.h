#pragma once
// Helpers shared by the tests: byte inspection of written files, a sparse in-memory
// handler for multi-GiB layouts, temporary files and the external decoders.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "MemoryFileHandler.h"
#include "avi/IFileHandler.h"

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

// A writable in-memory file that keeps only the first `keep` bytes of large writes, so that
// layouts of several GiB (headers, indexes, segment boundaries) can be checked exactly
// without the data. It reads only those bytes of the caller's buffer, so a test may pass a
// small buffer with a large declared size.
class SparseFileHandler : public avi::IFileHandler {
public:
    static constexpr std::size_t keep = 4096;
    std::map<std::uint64_t, std::vector<char>> pieces;  // by offset; later writes win on read
    std::uint64_t pos = 0, size = 0, fwrites = 0;
    // Fail the k-th call (from 1) of fseek or setFilePos; 0 disables.
    std::uint64_t failFseekAt = 0, failSetFilePosAt = 0, fseeks = 0, setPositions = 0;

    void* fopen(std::u16string, const char* mode) override {
        if (mode[0] == 'w') pieces.clear(), size = 0;
        pos = 0;
        return this;
    }
    std::size_t fwrite(const void* buffer, std::size_t, std::size_t count, void*) override {
        ++fwrites;
        const std::size_t n = count < keep ? count : keep;
        const auto* p = static_cast<const char*>(buffer);
        // Overlapping earlier pieces lose the overwritten bytes.
        trim(pos, pos + count);
        pieces[pos] = std::vector<char>(p, p + n);
        pos += count;
        if (pos > size) size = pos;
        return count;
    }
    std::size_t fread(void* buffer, std::size_t, std::size_t count, void*) override {
        if (pos >= size) return 0;
        const std::size_t n = static_cast<std::size_t>(count < size - pos ? count : size - pos);
        copyOut(pos, static_cast<char*>(buffer), n);
        pos += n;
        return n;
    }
    int fseek(void*, std::int64_t offset, int origin) override {
        if (++fseeks == failFseekAt) return -1;
        const std::int64_t base = origin == 1 ? static_cast<std::int64_t>(pos) : 0;
        if (base + offset < 0) return -1;
        pos = static_cast<std::uint64_t>(base + offset);
        return 0;
    }
    std::int64_t ftell(void*) override { return static_cast<std::int64_t>(pos); }
    int fclose(void*) override { return 0; }
    std::uint64_t getFilePos(void*) override { return pos; }
    int setFilePos(void*, std::uint64_t p) override {
        if (++setPositions == failSetFilePosAt) return -1;
        pos = p;
        return 0;
    }

    // Bytes [off, off + n), zeros where nothing was kept.
    std::vector<char> at(std::uint64_t off, std::size_t n) const {
        std::vector<char> out(n, 0);
        copyOut(off, out.data(), n);
        return out;
    }

private:
    void copyOut(std::uint64_t off, char* out, std::size_t n) const {
        std::memset(out, 0, n);
        auto it = pieces.upper_bound(off);
        if (it != pieces.begin()) --it;
        for (; it != pieces.end() && it->first < off + n; ++it) {
            const std::uint64_t s = it->first, e = s + it->second.size();
            const std::uint64_t from = s > off ? s : off, to = e < off + n ? e : off + n;
            if (from < to) std::memcpy(out + (from - off), it->second.data() + (from - s), to - from);
        }
    }
    void trim(std::uint64_t from, std::uint64_t to) {
        auto it = pieces.lower_bound(from);
        if (it != pieces.begin()) {
            auto prev = std::prev(it);
            if (prev->first + prev->second.size() > from) prev->second.resize(from - prev->first);
        }
        while (it != pieces.end() && it->first < to) {
            const std::uint64_t e = it->first + it->second.size();
            if (e <= to) {
                it = pieces.erase(it);
            } else {
                std::vector<char> rest(it->second.begin() + static_cast<std::ptrdiff_t>(to - it->first),
                                       it->second.end());
                pieces.erase(it);
                pieces[to] = std::move(rest);
                break;
            }
        }
    }
};

// A temporary directory removed with its files at the end of the scope.
struct TempDir {
    std::string path;
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/avi_write_XXXXXX";
        std::vector<char> t(tmpl.begin(), tmpl.end());
        t.push_back('\0');
        if (::mkdtemp(t.data()) != nullptr) path = t.data();
    }
    ~TempDir() {
        if (!path.empty() && std::system(("rm -rf '" + path + "'").c_str()) != 0) ADD_FAILURE() << "rm " << path;
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

// Bytes of an in-memory file written through MemoryFileHandler.
inline std::vector<char> bytesOf(avitest::MemoryFileHandler& h, const std::u16string& path) {
    const auto* b = h.find(path);
    return b ? *b : std::vector<char>();
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

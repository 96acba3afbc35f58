#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "avi/IFileHandler.h"

namespace avitest {

// In-memory files, keyed by path. "rb" opens an existing file, "wb" creates or empties it.
// The bytes outlive the handle, so a test can write through one handle and inspect or
// reopen the result.
class MemoryFileHandler : public avi::IFileHandler {
public:
    using Bytes = std::vector<char>;

    // Files shared by every handler made from the same store.
    std::shared_ptr<std::map<std::u16string, Bytes>> files = std::make_shared<std::map<std::u16string, Bytes>>();

    void put(const std::u16string& path, Bytes bytes) { (*files)[path] = std::move(bytes); }
    Bytes* find(const std::u16string& path) {
        auto it = files->find(path);
        return it == files->end() ? nullptr : &it->second;
    }

    void* fopen(std::u16string path, const char* mode) override;
    std::size_t fread(void* buffer, std::size_t size, std::size_t count, void* handle) override;
    std::size_t fwrite(const void* buffer, std::size_t size, std::size_t count, void* handle) override;
    int fseek(void* handle, std::int64_t offset, int origin) override;
    std::int64_t ftell(void* handle) override;
    int fclose(void* handle) override;
    std::uint64_t getFilePos(void* handle) override;
    int setFilePos(void* handle, std::uint64_t position) override;

protected:
    struct Handle {
        Bytes* bytes;
        std::uint64_t pos;
        bool writable;
    };
};

// Fails the k-th call (counted from 1) of the selected operations; 0 disables. A failing
// fwrite writes nothing; with partial, it writes half of what was asked; with sticky, every
// fwrite from the k-th on fails (a full disk).
class FaultyFileHandler : public MemoryFileHandler {
public:
    std::uint64_t failFwriteAt = 0, failFseekAt = 0, failSetFilePosAt = 0;
    bool partial = false, sticky = false;

    std::size_t fwrite(const void* buffer, std::size_t size, std::size_t count, void* handle) override;
    int fseek(void* handle, std::int64_t offset, int origin) override;
    int setFilePos(void* handle, std::uint64_t position) override;

    std::uint64_t fwriteCalls = 0, fseekCalls = 0, setPosCalls = 0;
};

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

}  // namespace avitest

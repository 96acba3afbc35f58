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

}  // namespace avitest

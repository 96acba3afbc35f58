#include "MemoryFileHandler.h"

#include <limits>

namespace avitest {

void* MemoryFileHandler::fopen(std::u16string path, const char* mode) {
    ++opens;
    if (mode == nullptr) return nullptr;
    if (mode[0] == 'r') {
        Bytes* b = find(path);
        return b == nullptr ? nullptr : new Handle{b, 0, false};
    }
    if (mode[0] == 'w') {
        Bytes& b = (*files)[path];
        b.clear();
        return new Handle{&b, 0, true};
    }
    return nullptr;
}

std::size_t MemoryFileHandler::fread(void* buffer, std::size_t size, std::size_t count, void* handle) {
    ++freads;
    auto* h = static_cast<Handle*>(handle);
    if (size == 0 || count == 0 || h->pos >= h->bytes->size()) return 0;
    const std::uint64_t avail = h->bytes->size() - h->pos;
    const std::uint64_t want = static_cast<std::uint64_t>(size) * count;
    const std::uint64_t n = want < avail ? want : avail;
    std::memcpy(buffer, h->bytes->data() + h->pos, n);
    h->pos += n;
    return static_cast<std::size_t>(n / size);
}

std::size_t MemoryFileHandler::fwrite(const void* buffer, std::size_t size, std::size_t count, void* handle) {
    ++fwrites;
    auto* h = static_cast<Handle*>(handle);
    if (!h->writable || size == 0 || count == 0) return 0;
    const std::uint64_t n = static_cast<std::uint64_t>(size) * count;
    if (h->pos + n > h->bytes->size()) h->bytes->resize(h->pos + n);
    std::memcpy(h->bytes->data() + h->pos, buffer, n);
    h->pos += n;
    return count;
}

int MemoryFileHandler::fseek(void* handle, std::int64_t offset, int origin) {
    ++seeks;
    auto* h = static_cast<Handle*>(handle);
    std::int64_t base = 0;
    if (origin == 1)
        base = static_cast<std::int64_t>(h->pos);
    else if (origin == 2)
        base = static_cast<std::int64_t>(h->bytes->size());
    else if (origin != 0)
        return -1;
    if (offset < 0 && base < -offset) return -1;
    h->pos = static_cast<std::uint64_t>(base + offset);
    return 0;
}

std::int64_t MemoryFileHandler::ftell(void* handle) { return static_cast<std::int64_t>(static_cast<Handle*>(handle)->pos); }

int MemoryFileHandler::fclose(void* handle) {
    ++closes;
    delete static_cast<Handle*>(handle);
    return 0;
}

std::uint64_t MemoryFileHandler::getFilePos(void* handle) { return static_cast<Handle*>(handle)->pos; }

int MemoryFileHandler::setFilePos(void* handle, std::uint64_t position) {
    ++seeks;
    static_cast<Handle*>(handle)->pos = position;
    return 0;
}

std::size_t FaultyFileHandler::fread(void* buffer, std::size_t size, std::size_t count, void* handle) {
    if (++freadCalls == failFreadAt) return 0;
    return MemoryFileHandler::fread(buffer, size, count, handle);
}

std::size_t FaultyFileHandler::fwrite(const void* buffer, std::size_t size, std::size_t count, void* handle) {
    if (++fwriteCalls == failFwriteAt) {
        if (!partial || count < 2) return 0;
        return MemoryFileHandler::fwrite(buffer, size, count / 2, handle);
    }
    return MemoryFileHandler::fwrite(buffer, size, count, handle);
}

int FaultyFileHandler::fseek(void* handle, std::int64_t offset, int origin) {
    if (++fseekCalls == failFseekAt) return -1;
    return MemoryFileHandler::fseek(handle, offset, origin);
}

int FaultyFileHandler::setFilePos(void* handle, std::uint64_t position) {
    if (++setPosCalls == failSetFilePosAt) return -1;
    return MemoryFileHandler::setFilePos(handle, position);
}

}  // namespace avitest

#include "MemoryFileHandler.h"

namespace avitest {

void* MemoryFileHandler::fopen(std::u16string path, const char* mode) {
    if (mode == nullptr || (mode[0] != 'r' && mode[0] != 'w')) return nullptr;
    if (mode[0] == 'w') (*files)[path].clear();
    Bytes* b = find(path);
    return b == nullptr ? nullptr : new Handle{b, 0, mode[0] == 'w'};
}

std::size_t MemoryFileHandler::fread(void* buffer, std::size_t size, std::size_t count, void* handle) {
    auto* h = static_cast<Handle*>(handle);
    if (size == 0 || count == 0 || h->pos >= h->bytes->size()) return 0;
    const std::uint64_t n = std::min<std::uint64_t>(std::uint64_t{size} * count, h->bytes->size() - h->pos);
    std::memcpy(buffer, h->bytes->data() + h->pos, n);
    h->pos += n;
    return static_cast<std::size_t>(n / size);
}

std::size_t MemoryFileHandler::fwrite(const void* buffer, std::size_t size, std::size_t count, void* handle) {
    auto* h = static_cast<Handle*>(handle);
    const std::uint64_t n = std::uint64_t{size} * count;
    if (!h->writable || n == 0) return 0;
    if (h->pos + n > h->bytes->size()) h->bytes->resize(h->pos + n);
    std::memcpy(h->bytes->data() + h->pos, buffer, n);
    h->pos += n;
    return count;
}

int MemoryFileHandler::fseek(void* handle, std::int64_t offset, int origin) {
    auto* h = static_cast<Handle*>(handle);
    if (origin < 0 || origin > 2) return -1;
    const std::int64_t base = origin == 0 ? 0 : static_cast<std::int64_t>(origin == 1 ? h->pos : h->bytes->size());
    if (offset < 0 && base < -offset) return -1;
    h->pos = static_cast<std::uint64_t>(base + offset);
    return 0;
}

std::int64_t MemoryFileHandler::ftell(void* handle) { return static_cast<std::int64_t>(getFilePos(handle)); }
std::uint64_t MemoryFileHandler::getFilePos(void* handle) { return static_cast<Handle*>(handle)->pos; }

int MemoryFileHandler::fclose(void* handle) {
    delete static_cast<Handle*>(handle);
    return 0;
}

int MemoryFileHandler::setFilePos(void* handle, std::uint64_t position) {
    static_cast<Handle*>(handle)->pos = position;
    return 0;
}

std::size_t FaultyFileHandler::fwrite(const void* buffer, std::size_t size, std::size_t count, void* handle) {
    const bool fail = ++fwriteCalls == failFwriteAt || (sticky && failFwriteAt != 0 && fwriteCalls > failFwriteAt);
    if (!fail) return MemoryFileHandler::fwrite(buffer, size, count, handle);
    return partial && count >= 2 ? MemoryFileHandler::fwrite(buffer, size, count / 2, handle) : 0;
}

int FaultyFileHandler::fseek(void* handle, std::int64_t offset, int origin) {
    return ++fseekCalls == failFseekAt ? -1 : MemoryFileHandler::fseek(handle, offset, origin);
}

int FaultyFileHandler::setFilePos(void* handle, std::uint64_t position) {
    return ++setPosCalls == failSetFilePosAt ? -1 : MemoryFileHandler::setFilePos(handle, position);
}

}  // namespace avitest

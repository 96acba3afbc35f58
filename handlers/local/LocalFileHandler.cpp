#include "avi/LocalFileHandler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include "strutil/strutil.h"

namespace avi {
namespace {

struct LocalHandle {
    int fd;
    std::uint64_t pos;
    bool writable = false;
};

LocalHandle* asHandle(void* h) { return static_cast<LocalHandle*>(h); }

// pread/pwrite may transfer less than asked (signals, pipes, very large requests): loop.
template <typename Op>
std::size_t transfer(LocalHandle* h, std::size_t total, Op op) {
    std::size_t done = 0;
    while (done < total) {
        const ssize_t n = op(done, total - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    h->pos += done;
    return done;
}

// Backs [file end, end) with disk before a write-mode seek leaves it as a hole: the writer
// skips the header's room and fills it last, at close, when a full disk could no longer
// give it. posix_fallocate where the file system has it, zeros written where it has not.
bool allocateTo(LocalHandle* h, std::uint64_t end) {
    if (!h->writable) return true;
    struct stat st {};
    if (::fstat(h->fd, &st) != 0) return false;
    std::uint64_t at = static_cast<std::uint64_t>(st.st_size);
    if (end <= at) return true;
    const int rc = ::posix_fallocate(h->fd, static_cast<off_t>(at), static_cast<off_t>(end - at));
    if (rc == 0) return true;
    if (rc != EOPNOTSUPP && rc != EINVAL) return false;
    static const char zeros[4096] = {};
    while (at < end) {
        const std::size_t n = end - at < sizeof zeros ? static_cast<std::size_t>(end - at) : sizeof zeros;
        const ssize_t put = ::pwrite(h->fd, zeros, n, static_cast<off_t>(at));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        at += static_cast<std::uint64_t>(put);
    }
    return true;
}

}  // namespace

void* LocalFileHandler::fopen(std::u16string path, const char* mode) {
    if (path.empty() || mode == nullptr) return nullptr;
    const std::string native = strutil::filesystem::u16_to_native_path(path);
    int flags;
    if (mode[0] == 'r')
        flags = O_RDONLY;
    else if (mode[0] == 'w')
        flags = O_RDWR | O_CREAT | O_TRUNC;
    else
        return nullptr;
    const int fd = ::open(native.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    auto* h = new (std::nothrow) LocalHandle{fd, 0};
    if (h == nullptr)
        ::close(fd);
    else
        h->writable = mode[0] == 'w';
    return h;
}

std::size_t LocalFileHandler::fread(void* buffer, std::size_t size, std::size_t count, void* handle) {
    auto* h = asHandle(handle);
    if (h == nullptr || size == 0 || count == 0) return 0;
    if (count > std::numeric_limits<std::size_t>::max() / size) return 0;
    auto* out = static_cast<char*>(buffer);
    const std::size_t got = transfer(h, size * count, [&](std::size_t off, std::size_t len) {
        return ::pread(h->fd, out + off, len, static_cast<off_t>(h->pos + off));
    });
    return got / size;
}

std::size_t LocalFileHandler::fwrite(const void* buffer, std::size_t size, std::size_t count, void* handle) {
    auto* h = asHandle(handle);
    if (h == nullptr || size == 0 || count == 0) return 0;
    if (count > std::numeric_limits<std::size_t>::max() / size) return 0;
    const auto* in = static_cast<const char*>(buffer);
    const std::size_t put = transfer(h, size * count, [&](std::size_t off, std::size_t len) {
        return ::pwrite(h->fd, in + off, len, static_cast<off_t>(h->pos + off));
    });
    return put / size;
}

int LocalFileHandler::fseek(void* handle, std::int64_t offset, int origin) {
    auto* h = asHandle(handle);
    if (h == nullptr) return -1;
    std::int64_t base;
    if (origin == 0) {
        base = 0;
    } else if (origin == 1) {
        base = static_cast<std::int64_t>(h->pos);
    } else if (origin == 2) {
        struct stat st {};
        if (::fstat(h->fd, &st) != 0) return -1;
        base = static_cast<std::int64_t>(st.st_size);
    } else {
        return -1;
    }
    // Positions past the end are allowed (as with stdio); negative ones are not.
    if ((offset < 0 && base < -offset) ||
        (offset > 0 && base > std::numeric_limits<std::int64_t>::max() - offset))
        return -1;
    if (!allocateTo(h, static_cast<std::uint64_t>(base + offset))) return -1;
    h->pos = static_cast<std::uint64_t>(base + offset);
    return 0;
}

std::int64_t LocalFileHandler::ftell(void* handle) {
    auto* h = asHandle(handle);
    return h == nullptr ? -1 : static_cast<std::int64_t>(h->pos);
}

int LocalFileHandler::fclose(void* handle) {
    auto* h = asHandle(handle);
    if (h == nullptr) return -1;
    const int rc = ::close(h->fd);
    delete h;
    return rc;
}

std::uint64_t LocalFileHandler::getFilePos(void* handle) {
    auto* h = asHandle(handle);
    return h == nullptr ? 0 : h->pos;
}

int LocalFileHandler::setFilePos(void* handle, std::uint64_t position) {
    auto* h = asHandle(handle);
    if (h == nullptr || position > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return -1;
    if (!allocateTo(h, position)) return -1;
    h->pos = position;
    return 0;
}

}  // namespace avi

#include "avi/LocalFileHandler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "strutil/strutil.h"

namespace avi {
namespace {

// Read-ahead window of a handle opened for reading, and the largest read served from it:
// reads up to an eighth of it share one system call, larger ones go straight to the caller.
constexpr std::size_t WINDOW_BYTES = 64 * 1024;
constexpr std::size_t SMALL_READ_BYTES = WINDOW_BYTES / 8;
constexpr std::uint64_t NO_READ = ~std::uint64_t{0};

struct LocalHandle {
    int fd;
    std::uint64_t pos;
    bool readOnly = false;
    // File bytes [windowStart, windowStart + windowBytes) as read; allocated on first use.
    std::unique_ptr<char[]> window;
    std::uint64_t windowStart = 0;
    std::size_t windowBytes = 0;
    // Where the last read ended: a small read at or shortly after it is part of a forward
    // run and fills the window; an isolated one is a plain pread.
    std::uint64_t lastEnd = NO_READ;
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

// pread until len bytes, the end of the file or an error.
std::size_t preadFully(int fd, char* out, std::size_t len, std::uint64_t at) {
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::pread(fd, out + done, len - done, static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// A small read in read mode: from the window when it holds the bytes, else through a
// refilled window when the read continues a forward run, else one pread.
std::size_t readSmall(LocalHandle* h, char* out, std::size_t len) {
    const std::uint64_t at = h->pos;
    const bool inWindow =
        at >= h->windowStart && at - h->windowStart <= h->windowBytes && len <= h->windowBytes - (at - h->windowStart);
    const bool forward = h->lastEnd != NO_READ && at >= h->lastEnd && at - h->lastEnd < WINDOW_BYTES;
    h->lastEnd = at + len;
    if (!inWindow) {
        if (!forward) {
            const std::size_t got = preadFully(h->fd, out, len, at);
            h->pos += got;
            return got;
        }
        if (!h->window) {
            h->window.reset(new (std::nothrow) char[WINDOW_BYTES]);
            if (!h->window) {
                const std::size_t got = preadFully(h->fd, out, len, at);
                h->pos += got;
                return got;
            }
        }
        h->windowStart = at;
        h->windowBytes = preadFully(h->fd, h->window.get(), WINDOW_BYTES, at);
    }
    const std::size_t offset = static_cast<std::size_t>(at - h->windowStart);
    const std::size_t got = std::min(len, h->windowBytes - offset);
    std::memcpy(out, h->window.get() + offset, got);
    h->pos += got;
    return got;
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
    auto* h = new (std::nothrow) LocalHandle{};
    if (h == nullptr) {
        ::close(fd);
        return nullptr;
    }
    h->fd = fd;
    h->pos = 0;
    // The window serves read mode only: a handle that also writes reads the file as it is.
    h->readOnly = flags == O_RDONLY;
    return h;
}

std::size_t LocalFileHandler::fread(void* buffer, std::size_t size, std::size_t count, void* handle) {
    auto* h = asHandle(handle);
    if (h == nullptr || size == 0 || count == 0) return 0;
    if (count > std::numeric_limits<std::size_t>::max() / size) return 0;
    auto* out = static_cast<char*>(buffer);
    const std::size_t total = size * count;
    if (h->readOnly && total <= SMALL_READ_BYTES) return readSmall(h, out, total) / size;
    h->lastEnd = h->pos + total;
    const std::size_t got = transfer(h, total, [&](std::size_t off, std::size_t len) {
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
    if ((offset < 0 && base < -offset) || (offset > 0 && base > std::numeric_limits<std::int64_t>::max() - offset))
        return -1;
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
    h->pos = position;
    return 0;
}

std::size_t LocalFileHandler::freadRowsReversed(char* buffer, std::size_t rowBytes, std::size_t rows, std::size_t tail,
                                                void* handle) {
    auto* h = asHandle(handle);
    if (h == nullptr || rowBytes == 0 || rows > (std::numeric_limits<std::size_t>::max() - tail) / rowBytes) return 0;
    const std::size_t body = rowBytes * rows, total = body + tail;
    // Small frames and narrow rows: one read (through the window when small), then the rows
    // are swapped while they are still in cache; a vector per row would cost more.
    if (total <= SMALL_READ_BYTES || rowBytes < 256) {
        const std::size_t got = fread(buffer, 1, total, handle);
        if (got == total)
            for (std::size_t i = 0; i < rows / 2; ++i)
                std::swap_ranges(buffer + i * rowBytes, buffer + (i + 1) * rowBytes,
                                 buffer + (rows - 1 - i) * rowBytes);
        return got;
    }
    // One vector entry per row, in reverse; a short transfer resumes mid-row.
    const std::uint64_t at = h->pos;
    h->lastEnd = at + total;
    constexpr int BATCH = 256;
    iovec iov[BATCH];
    std::size_t done = 0;
    while (done < total) {
        int n = 0;
        for (std::size_t s = done; s < total && n < BATCH; ++n) {
            if (s < body) {
                const std::size_t row = s / rowBytes, within = s % rowBytes;
                iov[n].iov_base = buffer + (rows - 1 - row) * rowBytes + within;
                iov[n].iov_len = rowBytes - within;
            } else {
                iov[n].iov_base = buffer + s;
                iov[n].iov_len = total - s;
            }
            s += iov[n].iov_len;
        }
        const ssize_t got = ::preadv(h->fd, iov, n, static_cast<off_t>(at + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    h->pos += done;
    return done;
}

}  // namespace avi

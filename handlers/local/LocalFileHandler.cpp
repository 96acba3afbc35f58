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
#include <string>
#include <vector>

#include "format/Rows.h"
#include "strutil/strutil.h"

namespace avi {
namespace {

// Read-ahead window of a handle opened for reading, and the largest read served from it:
// reads up to an eighth of it share one system call, larger ones go straight to the caller.
constexpr std::size_t WINDOW_BYTES = 64 * 1024;
constexpr std::size_t SMALL_READ_BYTES = WINDOW_BYTES / 8;
constexpr std::uint64_t NO_READ = ~std::uint64_t{0};
// Rows of a top-down frame are read and reversed in runs of about this many bytes: large
// enough that the reads cost little, small enough that a run is still in cache.
constexpr std::size_t BLOCK_BYTES = 256 * 1024;
// IOV_MAX: a frame's rows in one call.
constexpr std::size_t MAX_PIECES = 1024;

struct LocalHandle {
    int fd;
    std::uint64_t pos;
    bool readOnly = false;
    // A write-mode handle knows the file reaches at least this far (written or allocated), so
    // seeks inside it cost no fstat.
    std::uint64_t backedEnd = 0;
    // File bytes [windowStart, windowStart + windowBytes) as read; allocated on first use.
    std::unique_ptr<char[]> window;
    std::uint64_t windowStart = 0;
    std::size_t windowBytes = 0;
    // Where the last read ended: a small read at or shortly after it is part of a forward
    // run and fills the window; an isolated one is a plain pread.
    std::uint64_t lastEnd = NO_READ;
    // Once a writer has asked for its data on the device, the data after syncedTo is handed to
    // the device in the background as it grows, so that the next sync finds little left to do.
    bool syncing = false;
    std::uint64_t syncedTo = 0;
    // The folder of a file opened for writing: its entry for the file reaches the device at
    // the first sync, so that a power cut cannot lose the whole file.
    std::string folder;
};

constexpr std::uint64_t WRITEBACK_BYTES = 8u << 20;

// Starts the device write of what was appended since the last start, without waiting for it.
void writeBehind(LocalHandle* h) {
    if (!h->syncing || h->pos < h->syncedTo + WRITEBACK_BYTES) return;
    ::sync_file_range(h->fd, static_cast<off_t>(h->syncedTo), static_cast<off_t>(h->pos - h->syncedTo),
                      SYNC_FILE_RANGE_WRITE);
    h->syncedTo = h->pos;
}

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
    if (h->readOnly || end <= h->backedEnd) return true;
    struct stat st {};
    if (::fstat(h->fd, &st) != 0) return false;
    std::uint64_t at = static_cast<std::uint64_t>(st.st_size);
    h->backedEnd = std::max(h->backedEnd, at);
    if (end <= at) return true;
    const int rc = ::posix_fallocate(h->fd, static_cast<off_t>(at), static_cast<off_t>(end - at));
    if (rc == 0) {
        h->backedEnd = end;
        return true;
    }
    if (rc != EOPNOTSUPP && rc != EINVAL) return false;
    static const char zeros[4096] = {};
    while (at < end) {
        const std::size_t n = end - at < sizeof zeros ? static_cast<std::size_t>(end - at) : sizeof zeros;
        const ssize_t put = ::pwrite(h->fd, zeros, n, static_cast<off_t>(at));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        at += static_cast<std::uint64_t>(put);
    }
    h->backedEnd = end;
    return true;
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

using format::reverseRows;

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
    if (!h->readOnly) {
        const std::size_t slash = native.find_last_of('/');
        h->folder = slash == std::string::npos ? "." : slash == 0 ? "/" : native.substr(0, slash);
    }
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
    h->backedEnd = std::max(h->backedEnd, h->pos);
    return put / size;
}

std::size_t LocalFileHandler::writePieces(void* handle, const Piece* pieces, std::size_t count) {
    auto* h = asHandle(handle);
    if (h == nullptr || count == 0 || count > MAX_PIECES) return 0;
    // The writer's few pieces need no allocation.
    iovec few[4];
    std::vector<iovec> many(count > 4 ? count : 0);
    iovec* io = count > 4 ? many.data() : few;
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        io[i] = {pieces[i].data, pieces[i].size};
        total += pieces[i].size;
    }
    // A short pwritev (a signal, a full disk) goes on from where it stopped.
    std::size_t first = 0;
    const std::size_t put = transfer(h, total, [&](std::size_t off, std::size_t) -> ssize_t {
        std::size_t skip = off;
        for (first = 0; first < count && skip >= pieces[first].size; ++first) skip -= pieces[first].size;
        if (first == count) return 0;
        io[first] = {static_cast<char*>(pieces[first].data) + skip, pieces[first].size - skip};
        return ::pwritev(h->fd, io + first, static_cast<int>(count - first), static_cast<off_t>(h->pos + off));
    });
    h->backedEnd = std::max(h->backedEnd, h->pos);
    writeBehind(h);
    return put;
}

bool LocalFileHandler::syncData(void* handle) {
    auto* h = asHandle(handle);
    if (h == nullptr) return false;
    h->syncing = true;
    if (::fdatasync(h->fd) != 0) return false;
    if (!h->folder.empty()) {
        const int dir = ::open(h->folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) ::fsync(dir), ::close(dir);
        h->folder.clear();
    }
    return true;
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

std::size_t LocalFileHandler::freadRowsReversed(char* buffer, std::size_t rowBytes, std::size_t rows, std::size_t tail,
                                                void* handle) {
    auto* h = asHandle(handle);
    if (h == nullptr || rowBytes == 0 || rows > (std::numeric_limits<std::size_t>::max() - tail) / rowBytes) return 0;
    const std::size_t body = rowBytes * rows, total = body + tail;
    // Small frames: one read (through the window), then the rows are swapped in cache.
    if (total <= SMALL_READ_BYTES) {
        const std::size_t got = fread(buffer, 1, total, handle);
        if (got == total) reverseRows(buffer, rowBytes, rows);
        return got;
    }
    // Blocks of rows are read straight to where they end up, as a run in stored order, and
    // reversed there while still in cache: the frame is crossed once, by the kernel's copy.
    // (A vector entry per row costs the kernel more than this pass over cached rows.)
    const std::size_t perBlock = std::max<std::size_t>(1, BLOCK_BYTES / rowBytes);
    const std::uint64_t at = h->pos;
    h->lastEnd = at + total;
    std::size_t done = 0;
    for (std::size_t first = 0; first < rows; first += perBlock) {
        const std::size_t n = std::min(perBlock, rows - first), bytes = n * rowBytes;
        char* run = buffer + (rows - first - n) * rowBytes;
        const std::size_t got = preadFully(h->fd, run, bytes, at + done);
        done += got;
        if (got != bytes) {
            h->pos += done;
            return done;
        }
        reverseRows(run, rowBytes, n);
    }
    if (tail != 0) done += preadFully(h->fd, buffer + body, tail, at + body);
    h->pos += done;
    return done;
}

std::size_t LocalFileHandler::readPieces(void* handle, std::uint64_t position, const Piece* pieces, std::size_t count) {
    auto* h = asHandle(handle);
    if (h == nullptr || position > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return 0;
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += pieces[i].size;
    h->pos = position;
    std::size_t done = 0;
    if (h->readOnly && total <= SMALL_READ_BYTES) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t got = readSmall(h, static_cast<char*>(pieces[i].data), pieces[i].size);
            done += got;
            if (got != pieces[i].size) break;
        }
        return done;
    }
    h->lastEnd = position + total;
    // preadv may stop short (a signal, the end of the file): go on from where it stopped.
    std::size_t first = 0, skip = 0;  // the piece to go on with, and its bytes already read
    while (first < count) {
        iovec v[MAX_PIECES];
        int n = 0;
        for (std::size_t i = first; i < count && n < static_cast<int>(MAX_PIECES); ++i, ++n) {
            const std::size_t offset = i == first ? skip : 0;
            v[n].iov_base = static_cast<char*>(pieces[i].data) + offset;
            v[n].iov_len = pieces[i].size - offset;
        }
        const ssize_t got = ::preadv(h->fd, v, n, static_cast<off_t>(position + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
        for (std::size_t left = static_cast<std::size_t>(got); left > 0 && first < count;) {
            const std::size_t rest = pieces[first].size - skip;
            if (left < rest) {
                skip += left;
                break;
            }
            left -= rest;
            ++first;
            skip = 0;
        }
        while (first < count && pieces[first].size == 0) ++first;
    }
    h->pos = position + done;
    return done;
}

}  // namespace avi

#include "RemoteFileHandler.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "Failure.h"
#include "HttpConnection.h"
#include "MultipartUpload.h"
#include "ReadAhead.h"
#include "S3.h"
#include "strutil/strutil.h"

namespace avi {
namespace remote {
namespace {

// Read-ahead starts at MIN_FETCH for a read that continues nothing cached and doubles, up
// to MAX_FETCH, while reads keep following on from a block. A few blocks let streams that
// are read apart (video and audio, the index at the end) keep their own read-ahead.
const std::size_t MIN_FETCH = std::size_t(1) << 20;
const std::size_t MAX_FETCH = std::size_t(8) << 20;
const int BLOCKS = 4;

struct Block {
    std::unique_ptr<char[]> data;
    std::size_t capacity = 0;
    std::uint64_t start = 0;
    std::size_t length = 0;
    std::size_t readAhead = 0;  // size of the last fetch into this block; 0 = never used
    std::uint64_t lastUse = 0;

    std::uint64_t end() const { return start + length; }
    bool holds(std::uint64_t at) const { return length != 0 && at >= start && at < end(); }
    bool reserve(std::size_t n) {
        if (capacity >= n) return true;
        data.reset(new (std::nothrow) char[n]);
        capacity = data ? n : 0;
        return data != nullptr;
    }
};

struct Stream {
    explicit Stream(std::string url) : http(std::move(url)) {}
    ~Stream() {
        if (spool >= 0) ::close(spool);
        if (copy >= 0) ::close(copy);
        if (!keepSpool && !spoolPath.empty()) ::unlink(spoolPath.c_str());
    }

    HttpConnection http;
    bool writing = false;
    bool exclusive = false;  // "wx": an existing resource is not replaced
    std::uint64_t pos = 0;

    // reading
    Validators resource;
    bool stale = false;  // the resource changed, or no copy could be made: every later read fails
    int copy = -1;       // the whole resource, for a server that ignores ranges (unlinked file)
    Block blocks[BLOCKS];
    std::uint64_t clock = 0;
    std::unique_ptr<ReadAhead> ahead;  // for a sequential run, once one is seen

    // writing
    int spool = -1;
    std::string spoolPath;
    bool keepSpool = false;  // an upload failed: the bytes stay on disk for the user
    std::uint64_t spoolEnd = 0;
    bool spoolFailed = false;
    std::unique_ptr<MultipartUpload> parts;  // s3: the parts go up while the file is written
};

Stream* asStream(void* handle) { return static_cast<Stream*>(handle); }

bool startsWithNoCase(const std::string& s, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    if (s.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

// The UTF-8 form of the location, with the bytes a URL may not carry raw (spaces,
// controls, non-ASCII) percent-encoded. Empty for anything but http(s).
std::string toUrl(const std::u16string& path) {
    const std::string text = strutil::i18n::to_string(path);
    if (!startsWithNoCase(text, "http://") && !startsWithNoCase(text, "https://") && !startsWithNoCase(text, "s3://"))
        return std::string();
    static const char hex[] = "0123456789ABCDEF";
    std::string url;
    url.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F) {
            url.push_back('%');
            url.push_back(hex[c >> 4]);
            url.push_back(hex[c & 0xF]);
        } else {
            url.push_back(ch);
        }
    }
    return url;
}

// A temporary file in TMPDIR (or /tmp). It is removed after a successful upload and kept
// when the upload fails (or the process dies), so that no recording is lost.
int openSpool(std::string& path) {
    const char* dir = std::getenv("TMPDIR");
    path = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
    path += "/avi-upload-XXXXXX.avi";
    const int fd = ::mkostemps(&path[0], 4, O_CLOEXEC);
    if (fd < 0) path.clear();
    return fd;
}

Block& chooseBlock(Stream& s, std::uint64_t at, std::size_t& fetch) {
    for (Block& b : s.blocks) {
        if (b.readAhead != 0 && b.length != 0 && at >= b.end() && at - b.end() <= b.readAhead) {
            fetch = std::min(b.readAhead * 2, MAX_FETCH);
            return b;
        }
    }
    Block* lru = &s.blocks[0];
    for (Block& b : s.blocks)
        if (b.lastUse < lru->lastUse) lru = &b;
    fetch = MIN_FETCH;
    return *lru;
}

// For a server that ignores ranges: the whole resource, once, into an unlinked temporary
// file that reads then come from, with a one-line notice.
bool copyWhole(Stream& s) {
    std::string path;
    const int fd = openSpool(path);
    if (fd < 0) return false;
    ::unlink(path.c_str());
    std::fprintf(stderr, "note: %s ignores byte ranges; reading it through a local copy (%llu bytes)\n",
                 s.http.shownUrl().c_str(), static_cast<unsigned long long>(s.resource.size));
    if (!s.http.download(fd, s.resource)) {
        ::close(fd);
        return false;
    }
    s.copy = fd;
    return true;
}

// Delivers [at, at + n) of the resource, clipped to its size; returns the bytes delivered.
std::size_t readAt(Stream& s, std::uint64_t at, char* dst, std::size_t n) {
    if (s.stale || at >= s.resource.size) return 0;
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, s.resource.size - at));
    if (s.copy >= 0) {
        std::size_t done = 0;
        while (done < n) {
            const ssize_t k = ::pread(s.copy, dst + done, n - done, static_cast<off_t>(at + done));
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) break;
            done += static_cast<std::size_t>(k);
        }
        return done;
    }
    std::size_t done = 0;
    bool runStarted = false;
    while (done < n) {
        const std::uint64_t p = at + done;
        const std::size_t want = n - done;
        if (s.ahead) {
            const std::size_t k = s.ahead->take(p, dst + done, want);
            done += k;
            if (k != 0) continue;
        }
        Block* hit = nullptr;
        for (Block& b : s.blocks)
            if (b.holds(p)) hit = &b;
        if (hit != nullptr) {
            const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(want, hit->end() - p));
            std::memcpy(dst + done, hit->data.get() + (p - hit->start), k);
            done += k;
            hit->lastUse = ++s.clock;
            continue;
        }

        std::size_t fetch = 0;
        Block& b = chooseBlock(s, p, fetch);
        // A read that follows on from a block is a sequential run: from here on the blocks
        // ahead come in parallel. A read elsewhere stays one request, one round trip.
        if (fetch > MIN_FETCH && s.resource.size - p > 2 * MAX_FETCH && !runStarted) {
            runStarted = true;
            if (!s.ahead) s.ahead.reset(new (std::nothrow) ReadAhead(s.http, s.resource));
            if (s.ahead && s.ahead->start(p, s.http.lastTiming())) {
                b.readAhead = 0;
                continue;
            }
        }
        b.length = 0;
        b.readAhead = fetch;
        b.lastUse = ++s.clock;
        std::size_t received = 0;
        FetchResult r;
        if (want >= fetch) {
            // A large read goes straight into the caller's buffer; the read-ahead behind it
            // comes with the same request.
            const std::uint64_t after = p + want;
            const auto ahead = static_cast<std::size_t>(std::min<std::uint64_t>(fetch, s.resource.size - after));
            if (!b.reserve(ahead)) return done;
            r = s.http.fetch(p, dst + done, want, b.data.get(), ahead, s.resource, received);
            if (r == FetchResult::Ok) {
                b.start = after;
                b.length = ahead;
                done += want;
            }
        } else {
            const auto len = static_cast<std::size_t>(std::min<std::uint64_t>(fetch, s.resource.size - p));
            if (!b.reserve(len)) return done;
            r = s.http.fetch(p, b.data.get(), len, nullptr, 0, s.resource, received);
            if (r == FetchResult::Ok) {
                b.start = p;
                b.length = len;
            }
        }
        if (r != FetchResult::Ok) {
            if (r == FetchResult::Changed && s.http.rangesIgnored() && copyWhole(s)) {
                takeFailure();  // the refused range is no failure now
                return done + readAt(s, p, dst + done, n - done);
            }
            if (r == FetchResult::Changed) s.stale = true;
            return done;
        }
    }
    return done;
}

bool totalBytes(std::size_t size, std::size_t count, std::size_t& total) {
    if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) return false;
    total = size * count;
    return true;
}

// Whether [pos, pos + n) is addressable as off_t.
bool fitsOffset(std::uint64_t pos, std::size_t n) {
    const auto maxOff = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    return pos <= maxOff && n <= maxOff - pos;
}

}  // namespace

RemoteFileHandler::RemoteFileHandler() { initCurlOnce(); }

void* RemoteFileHandler::fopen(std::u16string path, const char* mode) {
    if (mode == nullptr || (mode[0] != 'r' && mode[0] != 'w')) return nullptr;
    std::string url = toUrl(path);
    if (url.empty()) return nullptr;
    // An s3 key is encoded as S3 signs it, from the name as given.
    S3Target s3;
    const bool signed_ = startsWithNoCase(url, "s3://");
    if (signed_) {
        const std::string given = strutil::i18n::to_string(path);
        std::string why;
        if (!resolveS3(given, s3, why)) return recordFailure("cannot open " + given + ": " + why), nullptr;
        url = s3.url;
    }
    std::unique_ptr<Stream> s(new (std::nothrow) Stream(std::move(url)));
    if (!s || !s->http.valid()) return nullptr;
    if (signed_) s->http.signForS3(s3);
    if (mode[0] == 'r') {
        if (!s->http.probe(s->resource)) return nullptr;
    } else {
        // Nothing is sent before fclose; a host that cannot be reached fails the open now
        // rather than after the whole file has been spooled.
        s->writing = true;
        s->exclusive = std::strchr(mode, 'x') != nullptr;
        if (!s->http.reachable()) return nullptr;
        s->spool = openSpool(s->spoolPath);
        if (s->spool < 0) return nullptr;
        if (signed_) s->parts.reset(new MultipartUpload(s->http, s->spool, s->exclusive));
    }
    return s.release();
}

std::size_t RemoteFileHandler::fread(void* buffer, std::size_t size, std::size_t count, void* handle) {
    Stream* s = asStream(handle);
    std::size_t total = 0;
    if (s == nullptr || buffer == nullptr || !totalBytes(size, count, total) || total == 0) return 0;
    auto* dst = static_cast<char*>(buffer);
    std::size_t done = 0;
    if (!s->writing) {
        done = readAt(*s, s->pos, dst, total);
    } else if (s->pos < s->spoolEnd) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(total, s->spoolEnd - s->pos));
        // Bytes already uploaded have left the spool.
        if (s->parts && !s->parts->inSpool(s->pos, s->pos + want)) return 0;
        while (done < want) {
            const ssize_t n = ::pread(s->spool, dst + done, want - done, static_cast<off_t>(s->pos + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
    }
    s->pos += done;
    return done / size;
}

std::size_t RemoteFileHandler::fwrite(const void* buffer, std::size_t size, std::size_t count, void* handle) {
    Stream* s = asStream(handle);
    std::size_t total = 0;
    if (s == nullptr || !s->writing || buffer == nullptr || !totalBytes(size, count, total) || total == 0) return 0;
    if (!fitsOffset(s->pos, total)) return 0;
    if (s->parts && !s->parts->mayWrite(s->pos, s->pos + total)) {
        recordFailure(s->parts->failure());
        return 0;
    }
    const auto* src = static_cast<const char*>(buffer);
    std::size_t done = 0;
    while (done < total) {
        const ssize_t n = ::pwrite(s->spool, src + done, total - done, static_cast<off_t>(s->pos + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    // A spool that lost bytes (disk full) must not be uploaded as if it were whole.
    if (done < total) s->spoolFailed = true;
    if (s->parts) s->parts->written(s->pos, s->pos + done);
    s->pos += done;
    s->spoolEnd = std::max(s->spoolEnd, s->pos);
    return done / size;
}

int RemoteFileHandler::fseek(void* handle, std::int64_t offset, int origin) {
    Stream* s = asStream(handle);
    if (s == nullptr) return -1;
    std::uint64_t base;
    switch (origin) {
        case 0:
            base = 0;
            break;
        case 1:
            base = s->pos;
            break;
        case 2:
            base = s->writing ? s->spoolEnd : s->resource.size;
            break;
        default:
            return -1;
    }
    const auto maxPos = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (base > maxPos) return -1;
    if (offset < 0) {
        const std::uint64_t back = static_cast<std::uint64_t>(-(offset + 1)) + 1;
        if (back > base) return -1;
        s->pos = base - back;
    } else {
        if (static_cast<std::uint64_t>(offset) > maxPos - base) return -1;
        s->pos = base + static_cast<std::uint64_t>(offset);
    }
    return 0;
}

std::int64_t RemoteFileHandler::ftell(void* handle) {
    Stream* s = asStream(handle);
    if (s == nullptr || s->pos > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return -1;
    return static_cast<std::int64_t>(s->pos);
}

int RemoteFileHandler::fclose(void* handle) {
    std::unique_ptr<Stream> s(asStream(handle));
    if (!s) return -1;
    if (!s->writing) return 0;
    if (s->spoolFailed) {
        if (s->parts) s->parts->abort();
        recordFailure("upload to " + s->http.shownUrl() + " not attempted: the temporary file " + s->spoolPath +
                      " could not hold every byte");
        return -1;
    }
    if (s->spoolEnd == 0) {
        recordFailure("nothing was written to " + s->http.shownUrl() + ", so nothing was uploaded");
        return -1;
    }
    if (s->parts && s->parts->started()) {
        if (s->parts->finish(s->spoolEnd)) return 0;
        s->keepSpool = true;
        const std::uint64_t up = s->parts->bytesUp();
        recordFailure(s->parts->failure() + "; the upload was aborted, and the bytes not uploaded are kept at " +
                      s->spoolPath +
                      (up != 0 ? " (at their offsets; the " + std::to_string(up) + " bytes uploaded before are holes)"
                               : std::string()));
        return -1;
    }
    if (s->http.upload(s->spool, s->spoolEnd, s->exclusive)) return 0;
    s->keepSpool = true;
    recordFailure(takeFailure() + "; the file is kept at " + s->spoolPath);
    return -1;
}

void RemoteFileHandler::abandon(void* handle) {
    std::unique_ptr<Stream> s(asStream(handle));
    if (s && s->parts) s->parts->abort();
}

std::uint64_t RemoteFileHandler::getFilePos(void* handle) {
    Stream* s = asStream(handle);
    return s != nullptr ? s->pos : 0;
}

int RemoteFileHandler::setFilePos(void* handle, std::uint64_t position) {
    Stream* s = asStream(handle);
    if (s == nullptr) return -1;
    s->pos = position;
    return 0;
}

}  // namespace remote
}  // namespace avi

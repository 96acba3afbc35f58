#include "HttpConnection.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>

#include "Failure.h"
#include "strutil/strutil.h"

namespace avi {
namespace remote {
namespace {

// Give up on a host that does not answer the connection within this time, and on a
// transfer that stays below the speed limit for the given time (a stalled server).
const long CONNECT_TIMEOUT_MS = 10000;
const long LOW_SPEED_LIMIT = 1024;  // bytes per second
const long LOW_SPEED_TIME = 30;     // seconds
const long MAX_REDIRECTS = 5;
// Every request may take DEADLINE_BASE_MS plus the time its bytes need at DEADLINE_RATE.
const long DEADLINE_BASE_MS = 60000;
const std::uint64_t DEADLINE_RATE = 32 * 1024;  // bytes per second
// Larger receive buffers mean fewer write callbacks per megabyte.
const long RECEIVE_BUFFER = 512 * 1024;

std::string trim(const char* begin, const char* end) {
    while (begin < end && (*begin == ' ' || *begin == '\t')) ++begin;
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r' || end[-1] == '\n')) --end;
    return std::string(begin, end);
}

bool nameIs(const char* name, std::size_t length, const char* expected) {
    const std::size_t n = std::strlen(expected);
    if (length != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != expected[i]) return false;
    }
    return true;
}

// Parses a decimal number that must fill [p, end); false on anything else or on overflow.
bool parseU64(const char* p, const char* end, std::uint64_t& out) {
    if (p == end) return false;
    std::uint64_t v = 0;
    for (; p < end; ++p) {
        if (*p < '0' || *p > '9') return false;
        const auto digit = static_cast<std::uint64_t>(*p - '0');
        if (v > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
        v = v * 10 + digit;
    }
    out = v;
    return true;
}

// "bytes first-last/total" or "bytes */total" (total may be "*": unknown).
struct ContentRange {
    bool hasRange = false;
    std::uint64_t first = 0, last = 0;
    bool hasTotal = false;
    std::uint64_t total = 0;
};

bool parseContentRange(const std::string& text, ContentRange& out) {
    const char* p = text.c_str();
    const char* end = p + text.size();
    if (text.compare(0, 6, "bytes ") != 0) return false;
    p += 6;
    const char* slash = static_cast<const char*>(std::memchr(p, '/', static_cast<std::size_t>(end - p)));
    if (slash == nullptr) return false;
    if (!(slash - p == 1 && *p == '*')) {
        const char* dash = static_cast<const char*>(std::memchr(p, '-', static_cast<std::size_t>(slash - p)));
        if (dash == nullptr || !parseU64(p, dash, out.first) || !parseU64(dash + 1, slash, out.last) ||
            out.last < out.first)
            return false;
        out.hasRange = true;
    }
    if (!(end - slash == 2 && slash[1] == '*')) {
        if (!parseU64(slash + 1, end, out.total)) return false;
        out.hasTotal = true;
    }
    return true;
}

// Whether a response to a ranged GET for [first, last] is that range of the opened version.
FetchResult checkRangedAnswer(const ResponseHeaders& h, const Validators& v, std::uint64_t first, std::uint64_t last) {
    if (h.status == 200 || h.status == 416) return FetchResult::Changed;  // range ignored, or the file shrank
    if (h.status != 206) return FetchResult::Failed;
    ContentRange cr;
    if (!parseContentRange(h.contentRange, cr) || !cr.hasRange || !cr.hasTotal) return FetchResult::Changed;
    if (cr.first != first || cr.last != last || cr.total != v.size) return FetchResult::Changed;
    if (!v.etag.empty() && !h.etag.empty() && h.etag != v.etag) return FetchResult::Changed;
    if (!v.lastModified.empty() && !h.lastModified.empty() && h.lastModified != v.lastModified)
        return FetchResult::Changed;
    return FetchResult::Ok;
}

struct FetchSink {
    const ResponseHeaders* headers;
    const Validators* validators;
    std::uint64_t first, last;
    char* dst1;
    std::size_t n1;
    char* dst2;
    std::size_t n2;
    std::size_t got = 0;
    bool checked = false;
    FetchResult refusal = FetchResult::Ok;
};

std::size_t onFetchData(char* data, std::size_t size, std::size_t count, void* context) {
    auto* sink = static_cast<FetchSink*>(context);
    const std::size_t total = size * count;
    if (!sink->checked) {
        sink->checked = true;
        sink->refusal = checkRangedAnswer(*sink->headers, *sink->validators, sink->first, sink->last);
        if (sink->refusal != FetchResult::Ok) return 0;  // aborts the transfer; nothing is stored
    }
    if (total > sink->n1 + sink->n2 - sink->got) {
        sink->refusal = FetchResult::Changed;  // more than the range asked for
        return 0;
    }
    std::size_t done = 0;
    if (sink->got < sink->n1) {
        const std::size_t k = std::min(total, sink->n1 - sink->got);
        std::memcpy(sink->dst1 + sink->got, data, k);
        done = k;
    }
    if (done < total) std::memcpy(sink->dst2 + (sink->got + done - sink->n1), data + done, total - done);
    sink->got += total;
    return total;
}

std::size_t discardData(char*, std::size_t size, std::size_t count, void*) { return size * count; }

// The size probe needs only the headers; stopping at the first body byte keeps a server
// that ignores the range from sending the whole resource.
std::size_t stopAtData(char*, std::size_t, std::size_t, void*) { return 0; }

void restrictProtocols(CURL* curl) {
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
}

std::once_flag curlInitFlag;

const char* nonEmptyEnv(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : nullptr;
}

}  // namespace

void setTrustOptions(CURL* curl) {
    const char* bundle = nonEmptyEnv("CURL_CA_BUNDLE");
    if (bundle == nullptr) bundle = nonEmptyEnv("SSL_CERT_FILE");
    if (bundle != nullptr) curl_easy_setopt(curl, CURLOPT_CAINFO, bundle);
    if (const char* dir = nonEmptyEnv("SSL_CERT_DIR")) curl_easy_setopt(curl, CURLOPT_CAPATH, dir);
}

void initCurlOnce() {
    std::call_once(curlInitFlag, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HttpConnection::HttpConnection(std::string url)
    : url_(std::move(url)), shownUrl_(strutil::text::without_credentials(url_)) {
    curl_ = curl_easy_init();
    if (curl_ != nullptr) setCommonOptions();
}

HttpConnection::~HttpConnection() {
    if (curl_ != nullptr) curl_easy_cleanup(curl_);
    curl_slist_free_all(ifRange_);
    curl_slist_free_all(signing_);
}

curl_slist* withLine(const curl_slist* list, const std::string& line) {
    curl_slist* out = nullptr;
    for (; list != nullptr; list = list->next) out = curl_slist_append(out, list->data);
    return line.empty() ? out : curl_slist_append(out, line.c_str());
}

std::unique_ptr<HttpConnection> HttpConnection::twin() const {
    std::unique_ptr<HttpConnection> t(new HttpConnection(url_));
    if (!t->valid()) return nullptr;
    t->shownUrl_ = shownUrl_;
    if (s3_) t->signForS3(target_);
    t->ifRange_ = withLine(ifRange_, "");
    return t;
}

namespace {

int onProgress(void* flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
}

}  // namespace

void HttpConnection::cancelWhen(const std::atomic<bool>* flag) {
    if (curl_ == nullptr) return;
    cancel_ = flag;
    curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(flag));
    curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
}

void HttpConnection::signForS3(const S3Target& t) {
    if (curl_ == nullptr) return;
    s3_ = true;
    target_ = t;
    shownUrl_ = t.shown;
    // libcurl signs the request; the key and secret go apart, since a key may hold a colon.
    curl_easy_setopt(curl_, CURLOPT_AWS_SIGV4, ("aws:amz:" + t.region + ":s3").c_str());
    curl_easy_setopt(curl_, CURLOPT_USERNAME, t.accessKey.c_str());
    curl_easy_setopt(curl_, CURLOPT_PASSWORD, t.secret.c_str());
    // The body is not hashed (servers demand the header), and a session token is signed with it.
    signing_ = curl_slist_append(nullptr, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
    if (!t.token.empty()) signing_ = curl_slist_append(signing_, ("x-amz-security-token: " + t.token).c_str());
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, signing_);
}

void HttpConnection::setCommonOptions() {
    curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, CONNECT_TIMEOUT_MS);
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, LOW_SPEED_LIMIT);
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, LOW_SPEED_TIME);
    curl_easy_setopt(curl_, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(curl_, CURLOPT_MAXREDIRS, MAX_REDIRECTS);
    curl_easy_setopt(curl_, CURLOPT_BUFFERSIZE, RECEIVE_BUFFER);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &HttpConnection::onHeader);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, errorText_);
    restrictProtocols(curl_);
    setTrustOptions(curl_);
}

CURLcode HttpConnection::perform(std::uint64_t bytes) {
    headers_.reset();
    errorText_[0] = '\0';
    const std::uint64_t ms = DEADLINE_BASE_MS + bytes / DEADLINE_RATE * 1000;
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, static_cast<long>(std::min<std::uint64_t>(ms, 0x7fffffff)));
    return curl_easy_perform(curl_);
}

void HttpConnection::noteFailure(CURLcode rc, const char* what) {
    std::string why;
    switch (rc) {
        case CURLE_OK:
            why = headers_.status != 0 ? "HTTP status " + std::to_string(headers_.status) : "no HTTP answer";
            break;
        case CURLE_COULDNT_CONNECT:
            why = "connection refused";
            break;
        case CURLE_COULDNT_RESOLVE_HOST:
            why = "unknown host";
            break;
        case CURLE_OPERATION_TIMEDOUT:
            why = "timed out";
            break;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
            why = "TLS failure";
            break;
        default:
            why = curl_easy_strerror(rc);
    }
    if (rc != CURLE_OK && errorText_[0] != '\0') why += std::string(" (") + errorText_ + ")";
    if (rc != CURLE_OK && headers_.status >= 200) why += ", HTTP status " + std::to_string(headers_.status);
    if (s3_ && headers_.status >= 400) {
        const std::string code = s3Error();
        if (!code.empty()) why += " (" + code + ")";
    }
    report(std::string(what) + " " + shownUrl_ + ": " + why);
}

std::size_t HttpConnection::onHeader(char* data, std::size_t size, std::size_t count, void* self) {
    auto* conn = static_cast<HttpConnection*>(self);
    const std::size_t n = size * count;
    ResponseHeaders& h = conn->headers_;
    const char* end = data + n;
    if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
        // A new response begins (after a redirect or a 100 Continue): forget the last one.
        h.reset();
        const char* sp = static_cast<const char*>(std::memchr(data, ' ', n));
        if (sp != nullptr) {
            const char* code = sp + 1;
            const char* codeEnd = code;
            while (codeEnd < end && *codeEnd >= '0' && *codeEnd <= '9') ++codeEnd;
            std::uint64_t status = 0;
            if (codeEnd - code == 3 && parseU64(code, codeEnd, status)) h.status = static_cast<long>(status);
        }
        return n;
    }
    const char* colon = static_cast<const char*>(std::memchr(data, ':', n));
    if (colon == nullptr) return n;
    const auto nameLength = static_cast<std::size_t>(colon - data);
    if (nameIs(data, nameLength, "content-range")) {
        h.contentRange = trim(colon + 1, end);
    } else if (nameIs(data, nameLength, "etag")) {
        h.etag = trim(colon + 1, end);
    } else if (nameIs(data, nameLength, "last-modified")) {
        h.lastModified = trim(colon + 1, end);
    } else if (nameIs(data, nameLength, "content-length")) {
        const std::string v = trim(colon + 1, end);
        std::uint64_t length = 0;
        if (parseU64(v.c_str(), v.c_str() + v.size(), length) &&
            length <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            h.contentLength = static_cast<std::int64_t>(length);
    }
    return n;
}

bool HttpConnection::probe(Validators& out) {
    if (curl_ == nullptr) return false;
    curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &discardData);
    CURLcode rc = perform();
    bool known = false;
    if (rc == CURLE_OK && headers_.status / 100 == 2 && headers_.contentLength >= 0) {
        out.size = static_cast<std::uint64_t>(headers_.contentLength);
        known = true;
    } else if (rc == CURLE_OK && (headers_.status / 100 == 2 || headers_.status == 405 || headers_.status == 501)) {
        // HEAD refused or without a length: ask for one byte and read the total from the answer.
        curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(curl_, CURLOPT_RANGE, "0-0");
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &stopAtData);
        rc = perform();
        curl_easy_setopt(curl_, CURLOPT_RANGE, nullptr);
        if (rc == CURLE_OK || rc == CURLE_WRITE_ERROR) {
            ContentRange cr;
            if ((headers_.status == 206 || headers_.status == 416) && parseContentRange(headers_.contentRange, cr) &&
                cr.hasTotal) {
                out.size = cr.total;
                known = true;
            } else if (headers_.status == 200 && headers_.contentLength >= 0) {
                out.size = static_cast<std::uint64_t>(headers_.contentLength);
                known = true;
            }
        }
    }
    curl_easy_setopt(curl_, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
    if (!known) {
        if (rc == CURLE_WRITE_ERROR) rc = CURLE_OK;  // the probe stops at the first body byte
        noteFailure(rc, "cannot open");
        return false;
    }
    out.etag = headers_.etag;
    out.lastModified = headers_.lastModified;

    char* effective = nullptr;
    if (curl_easy_getinfo(curl_, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective != nullptr) {
        url_ = effective;
        curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
    }
    // If-Range turns a ranged GET of a changed resource into a 200, which fetch refuses.
    // A weak entity tag may not be used there; the date is the fallback.
    curl_slist_free_all(ifRange_);
    const bool strong = !out.etag.empty() && out.etag.compare(0, 2, "W/") != 0;
    ifRange_ = withLine(signing_, strong                      ? "If-Range: " + out.etag
                                  : !out.lastModified.empty() ? "If-Range: " + out.lastModified
                                                              : std::string());
    return true;
}

FetchResult HttpConnection::fetch(std::uint64_t offset, char* dst1, std::size_t n1, char* dst2, std::size_t n2,
                                  const Validators& v, std::size_t& received) {
    received = 0;
    const std::uint64_t n = static_cast<std::uint64_t>(n1) + n2;
    if (curl_ == nullptr || n == 0 || offset > v.size || n > v.size - offset) return FetchResult::Failed;
    FetchSink sink{&headers_, &v, offset, offset + n - 1, dst1, n1, dst2, n2};
    char range[48];
    std::snprintf(range, sizeof range, "%llu-%llu", static_cast<unsigned long long>(sink.first),
                  static_cast<unsigned long long>(sink.last));
    curl_easy_setopt(curl_, CURLOPT_RANGE, range);
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, ifRange_);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &onFetchData);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &sink);
    const CURLcode rc = perform(n);
    curl_easy_setopt(curl_, CURLOPT_RANGE, nullptr);
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, signing_);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, nullptr);
    curl_off_t sent = 0, first = 0, total = 0;
    curl_easy_getinfo(curl_, CURLINFO_PRETRANSFER_TIME_T, &sent);
    curl_easy_getinfo(curl_, CURLINFO_STARTTRANSFER_TIME_T, &first);
    curl_easy_getinfo(curl_, CURLINFO_TOTAL_TIME_T, &total);
    timing_.wait = static_cast<double>(first - sent) * 1e-6;
    timing_.transfer = static_cast<double>(total - first) * 1e-6;
    timing_.bytes = sink.got;
    received = sink.got;
    FetchResult r = sink.refusal;
    if (r == FetchResult::Ok && rc != CURLE_OK) r = FetchResult::Failed;
    if (r == FetchResult::Ok && !sink.checked) {
        // No body at all: an error status, or a 206 that is empty.
        r = checkRangedAnswer(headers_, v, sink.first, sink.last);
        if (r == FetchResult::Ok) r = FetchResult::Failed;
    }
    if (r == FetchResult::Ok && sink.got != n) r = FetchResult::Failed;
    if (r == FetchResult::Changed)
        report("cannot read " + shownUrl_ + ": " +
               (headers_.status == 200 ? std::string("the server does not support byte ranges")
                                       : std::string("the resource changed while it was read")));
    else if (r == FetchResult::Failed)
        noteFailure(rc == CURLE_WRITE_ERROR ? CURLE_OK : rc, "cannot read");
    return r;
}

bool HttpConnection::reachable() {
    CURL* probe = curl_easy_init();
    if (probe == nullptr) return false;
    curl_easy_setopt(probe, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(probe, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(probe, CURLOPT_CONNECTTIMEOUT_MS, CONNECT_TIMEOUT_MS);
    curl_easy_setopt(probe, CURLOPT_CONNECT_ONLY, 1L);
    restrictProtocols(probe);
    setTrustOptions(probe);
    errorText_[0] = '\0';
    curl_easy_setopt(probe, CURLOPT_ERRORBUFFER, errorText_);
    const CURLcode rc = curl_easy_perform(probe);
    if (rc != CURLE_OK) {
        headers_.reset();
        noteFailure(rc, "cannot reach");
    }
    curl_easy_cleanup(probe);
    return rc == CURLE_OK;
}

}  // namespace remote
}  // namespace avi

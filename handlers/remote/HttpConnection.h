#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Failure.h"
#include "S3.h"

namespace avi {
namespace remote {

// What identifies one version of a remote resource. Every ranged answer must carry the
// same values, or the bytes could come from a newer version than the ones read before.
struct Validators {
    std::uint64_t size = 0;
    std::string etag;          // as sent, quotes included; empty when the server sent none
    std::string lastModified;  // HTTP date; empty when the server sent none
};

// The headers of the last response, as the header callback sees them.
struct ResponseHeaders {
    long status = 0;
    std::int64_t contentLength = -1;
    std::string contentRange;
    std::string etag;
    std::string lastModified;

    void reset() { *this = ResponseHeaders(); }
};

enum class FetchResult {
    Ok,
    Failed,   // transport failure or an HTTP error status: a later attempt may succeed
    Changed,  // ranges ignored, or the resource is no longer the one that was opened
};

// One libcurl easy handle for one open location; its connection is kept alive between
// requests. Not shared between threads.
class HttpConnection {
public:
    explicit HttpConnection(std::string url);
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    bool valid() const { return curl_ != nullptr; }

    // A second connection to where this one ended up (after redirects), signed the same way
    // and with the same validators, for requests that run in parallel on another thread.
    std::unique_ptr<HttpConnection> twin() const;

    // Aborts a request in progress, from any thread, once *flag is true.
    void cancelWhen(const std::atomic<bool>* flag);

    // How the last fetch went: the wait from request sent to first byte (a round trip and the
    // server's own time), the time its bytes took, and how many arrived.
    struct Timing {
        double wait = 0, transfer = 0;
        std::uint64_t bytes = 0;
    };
    const Timing& lastTiming() const { return timing_; }

    // Signs every later request for the S3 target t with AWS Signature V4 (libcurl's own);
    // messages then name t.shown.
    void signForS3(const S3Target& t);

    // Size and validators of the resource: HEAD, or a one-byte ranged GET when HEAD is
    // refused or gives no length. Later requests go to the URL that redirects ended at.
    bool probe(Validators& out);

    // Reads [offset, offset + n1 + n2): the first n1 bytes into dst1, the next n2 into dst2,
    // so a caller's buffer and a cache block fill from one request. Anything but a 206 for
    // exactly that range of the version described by v is refused before a byte is stored.
    // received: bytes stored, in order, even on failure.
    FetchResult fetch(std::uint64_t offset, char* dst1, std::size_t n1, char* dst2, std::size_t n2, const Validators& v,
                      std::size_t& received);

    // Whether the last fetch was answered with the whole resource: the server ignores ranges.
    bool rangesIgnored() const { return headers_.status == 200; }
    // GETs the whole resource described by v into fd, from its start; false (the reason
    // recorded) unless exactly v.size bytes of that version arrived.
    bool download(int fd, const Validators& v);

    // PUTs the first size bytes of the file behind fd, not replacing an existing resource when
    // exclusive (requestUnlessExists). True for a 2xx answer; otherwise the reason is recorded.
    bool upload(int fd, std::uint64_t size, bool exclusive = false);

    // The body of a request: text, or [offset, offset + size) of the file behind fd.
    struct Body {
        const std::string* text = nullptr;
        int fd = -1;
        std::uint64_t offset = 0, size = 0;
    };
    // One request to this resource with query, if any, appended (it must be canonical: parameters
    // sorted by name, values encoded as S3 signs them): method POST, PUT or DELETE, an optional
    // body and header line. Returns the HTTP status, 0 when no answer came; the answer's body
    // (its first 8 KiB) and entity tag are then in answer() and answerTag(). Records nothing.
    long request(const char* method, const std::string& query, const Body& body, const std::string& header = "");
    // request() that does not replace an existing resource when exclusive: with If-None-Match: *,
    // sent again without it to a server that does not implement it (501), for which the caller
    // has looked for an existing resource already.
    long requestUnlessExists(const char* method, const std::string& query, const Body& body, bool exclusive);
    // Records why the last upload request failed: "it exists now" for a 412, else as
    // noteRequestFailure("upload to").
    void noteUploadFailure();
    const std::string& answer() const { return body_; }
    const std::string& answerTag() const { return headers_.etag; }
    // Records why the last request failed, as "what URL: reason (S3 code)".
    void noteRequestFailure(const char* what) { noteFailure(lastCode_, what); }

    // True when a connection to the host can be made.
    bool reachable();

    // A quiet connection (one that works for another: read-ahead, upload parts) keeps its
    // failures to itself, in failure(), instead of recording them for the host.
    void setQuiet() { quiet_ = true; }
    const std::string& failure() const { return failure_; }

    // The URL without credentials, for messages.
    const std::string& shownUrl() const { return shownUrl_; }

private:
    void setCommonOptions();
    // Runs the request with a deadline that grows with the bytes it moves, so a server that
    // trickles bytes cannot hold a call for ever.
    CURLcode perform(std::uint64_t bytes = 0);
    // Records why a request failed: the transport error, or the HTTP status.
    void noteFailure(CURLcode rc, const char* what);

    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);

    CURL* curl_ = nullptr;
    std::string url_;
    std::string shownUrl_;
    char errorText_[CURL_ERROR_SIZE] = {0};
    curl_slist* ifRange_ = nullptr;  // the signing headers too, for a signed connection
    curl_slist* signing_ = nullptr;  // headers every signed request carries
    bool s3_ = false;
    S3Target target_;  // for twins
    const std::atomic<bool>* cancel_ = nullptr;
    Timing timing_;
    bool quiet_ = false;
    std::string failure_;
    void report(const std::string& message) {
        failure_ = message;
        if (!quiet_) recordFailure(message);
    }
    CURLcode lastCode_ = CURLE_OK;
    ResponseHeaders headers_;
    // The S3 error code and message of a failed signed request, from its body.
    std::string s3Error();
    std::string body_;  // the body of an upload's answer
};

// A copy of list (which may be null) with line appended when there is one.
curl_slist* withLine(const curl_slist* list, const std::string& line);

// Makes sure curl_global_init has run, once per process.
void initCurlOnce();

// Trusts the CA bundle named by CURL_CA_BUNDLE or SSL_CERT_FILE (and the directory of
// SSL_CERT_DIR), as curl and OpenSSL do, so that a private CA can be used.
void setTrustOptions(CURL* curl);

}  // namespace remote
}  // namespace avi

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Failure.h"
#include "HttpConnection.h"

// The requests that carry a body, or keep one: uploads, S3 requests, whole downloads, and
// the error documents of S3 answers.
namespace avi {
namespace remote {
namespace {

struct UploadSource {
    int fd;
    std::uint64_t offset;  // of the next byte to send, from the body's start
    std::uint64_t size;
    std::uint64_t base = 0;  // where the body starts in the file
};

std::size_t onUploadRead(char* buffer, std::size_t size, std::size_t count, void* context) {
    auto* src = static_cast<UploadSource*>(context);
    const std::uint64_t left = src->size - src->offset;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size * count, left));
    std::size_t done = 0;
    while (done < want) {
        const ssize_t n =
            ::pread(src->fd, buffer + done, want - done, static_cast<off_t>(src->base + src->offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return CURL_READFUNC_ABORT;  // the spool file is shorter than what was written
        done += static_cast<std::size_t>(n);
    }
    src->offset += done;
    return done;
}

// Lets libcurl rewind the body, for a resend after a redirect or an authentication round.
int onUploadSeek(void* context, curl_off_t offset, int origin) {
    auto* src = static_cast<UploadSource*>(context);
    if (origin != SEEK_SET || offset < 0 || static_cast<std::uint64_t>(offset) > src->size)
        return CURL_SEEKFUNC_CANTSEEK;
    src->offset = static_cast<std::uint64_t>(offset);
    return CURL_SEEKFUNC_OK;
}

}  // namespace

namespace {

// Keeps the first 8 KiB of a response body (an S3 error document).
std::size_t keepBody(char* data, std::size_t size, std::size_t count, void* to) {
    auto* b = static_cast<std::string*>(to);
    if (b->size() < 8192) b->append(data, std::min<std::size_t>(size * count, 8192 - b->size()));
    return size * count;
}

// "Code: Message" of an S3 error document; empty when there is none.
std::string s3Code(const std::string& body) {
    const auto tag = [&](const char* name) {
        const std::string open = std::string("<") + name + ">", close = std::string("</") + name + ">";
        const auto b = body.find(open), e = body.find(close);
        return b == std::string::npos || e == std::string::npos || e < b
                   ? std::string()
                   : body.substr(b + open.size(), e - b - open.size());
    };
    const std::string code = tag("Code"), message = tag("Message");
    return code.empty() ? std::string() : code + (message.empty() ? "" : ": " + message);
}

}  // namespace

std::string HttpConnection::s3Error() {
    if (!body_.empty()) return s3Code(body_);
    // A HEAD answer, or a refused range, carries no error document: the same resource asked
    // for as a GET of one byte tells the code.
    std::string body;
    curl_easy_setopt(curl_, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl_, CURLOPT_RANGE, "0-0");
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, signing_);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &keepBody);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body);
    const ResponseHeaders kept = headers_;
    const CURLcode rc = perform();
    headers_ = kept;
    curl_easy_setopt(curl_, CURLOPT_RANGE, nullptr);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, nullptr);
    return rc == CURLE_OK ? s3Code(body) : std::string();
}

bool HttpConnection::upload(int fd, std::uint64_t size, bool exclusive) {
    Body body;
    body.fd = fd;
    body.size = size;
    const bool ok = requestUnlessExists("PUT", "", body, exclusive) / 100 == 2;
    if (!ok) noteUploadFailure();
    body_.clear();
    return ok;
}

long HttpConnection::requestUnlessExists(const char* method, const std::string& query, const Body& body,
                                         bool exclusive) {
    const long status = request(method, query, body, exclusive ? "If-None-Match: *" : "");
    return exclusive && status == 501 ? request(method, query, body) : status;
}

void HttpConnection::noteUploadFailure() {
    if (lastCode_ == CURLE_OK && headers_.status == 412)
        report("upload to " + shownUrl_ + ": it exists now (HTTP status 412); use -y to replace it");
    else
        noteFailure(lastCode_, "upload to");
}

long HttpConnection::request(const char* method, const std::string& query, const Body& body,
                             const std::string& header) {
    if (curl_ == nullptr) return 0;
    const std::string target = query.empty() ? url_ : url_ + (url_.find('?') == std::string::npos ? "?" : "&") + query;
    UploadSource src{body.fd, 0, body.size, body.offset};
    curl_slist* headers = withLine(signing_, header);
    curl_easy_setopt(curl_, CURLOPT_URL, target.c_str());
    curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &keepBody);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body_);
    if (std::strcmp(method, "PUT") == 0) {
        curl_easy_setopt(curl_, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(body.size));
        curl_easy_setopt(curl_, CURLOPT_READFUNCTION, &onUploadRead);
        curl_easy_setopt(curl_, CURLOPT_READDATA, &src);
        curl_easy_setopt(curl_, CURLOPT_SEEKFUNCTION, &onUploadSeek);
        curl_easy_setopt(curl_, CURLOPT_SEEKDATA, &src);
    } else if (std::strcmp(method, "POST") == 0) {
        // libcurl reads the text during the request: it must be the caller's, not a copy.
        curl_easy_setopt(curl_, CURLOPT_POST, 1L);
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(body.text != nullptr ? body.text->size() : 0));
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.text != nullptr ? body.text->c_str() : "");
    } else {
        curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, method);
    }
    body_.clear();
    lastCode_ = perform(body.size);
    const long status = lastCode_ == CURLE_OK ? headers_.status : 0;
    curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, signing_);
    curl_easy_setopt(curl_, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(curl_, CURLOPT_READDATA, nullptr);
    curl_easy_setopt(curl_, CURLOPT_SEEKDATA, nullptr);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, nullptr);
    curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
    curl_slist_free_all(headers);
    return status;
}

namespace {

struct DownloadSink {
    int fd;
    std::uint64_t got, most;
};

std::size_t onDownload(char* data, std::size_t size, std::size_t count, void* context) {
    auto* sink = static_cast<DownloadSink*>(context);
    const std::size_t n = size * count;
    if (sink->got + n > sink->most) return 0;  // more than the resource had: another version
    for (std::size_t done = 0; done < n;) {
        const ssize_t k = ::pwrite(sink->fd, data + done, n - done, static_cast<off_t>(sink->got + done));
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return 0;
        done += static_cast<std::size_t>(k);
    }
    sink->got += n;
    return n;
}

}  // namespace

bool HttpConnection::download(int fd, const Validators& v) {
    if (curl_ == nullptr) return false;
    DownloadSink sink{fd, 0, v.size};
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, signing_);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &onDownload);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &sink);
    const CURLcode rc = perform(v.size);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, nullptr);
    const bool same =
        (v.etag.empty() || headers_.etag.empty() || headers_.etag == v.etag) &&
        (v.lastModified.empty() || headers_.lastModified.empty() || headers_.lastModified == v.lastModified);
    const bool ok = rc == CURLE_OK && headers_.status == 200 && sink.got == v.size && same;
    if (!ok && rc == CURLE_OK && headers_.status == 200)
        report("cannot read " + shownUrl_ + ": the resource changed while it was read");
    else if (!ok)
        noteFailure(rc == CURLE_WRITE_ERROR ? CURLE_OK : rc, "cannot read");
    return ok;
}

}  // namespace remote
}  // namespace avi

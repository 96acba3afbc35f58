#include "MultipartUpload.h"

#include <fcntl.h>

#include <algorithm>
#include <chrono>

#include "Failure.h"
#include "S3.h"

namespace avi {
namespace remote {
namespace {

const std::uint64_t SMALL_PART = std::uint64_t(8) << 20;
const std::uint64_t LARGE_PART = std::uint64_t(64) << 20;
const std::size_t SMALL_PARTS = 1000;
const std::size_t MAX_PARTS = 10000;  // S3's limit
const std::uint64_t LARGE_FROM = SMALL_PART * SMALL_PARTS;
const int ATTEMPTS = 4;
const std::size_t WORKERS = 4;

std::uint64_t partStart(std::size_t i) {
    return i < SMALL_PARTS ? i * SMALL_PART : LARGE_FROM + (i - SMALL_PARTS) * LARGE_PART;
}
std::size_t partOf(std::uint64_t at) {
    return static_cast<std::size_t>(at < LARGE_FROM ? at / SMALL_PART : SMALL_PARTS + (at - LARGE_FROM) / LARGE_PART);
}

std::string between(const std::string& text, const std::string& open, const std::string& close) {
    const auto b = text.find(open);
    if (b == std::string::npos) return std::string();
    const auto e = text.find(close, b + open.size());
    return e == std::string::npos ? std::string() : text.substr(b + open.size(), e - b - open.size());
}

bool mayPass(long status) { return status == 0 || status >= 500 || status == 408 || status == 429; }

}  // namespace

MultipartUpload::MultipartUpload(const HttpConnection& origin, int fd, bool exclusive)
    : origin_(origin), fd_(fd), exclusive_(exclusive) {}

MultipartUpload::~MultipartUpload() { abort(); }

bool MultipartUpload::initiate() {
    control_ = origin_.twin();
    if (!control_) return false;
    control_->setQuiet();
    const long status = control_->request("POST", "uploads=", {});
    uploadId_ = status == 200 ? between(control_->answer(), "<UploadId>", "</UploadId>") : std::string();
    if (uploadId_.empty()) {
        control_->noteRequestFailure("upload to");
        return false;
    }
    return workers_.grow(origin_, WORKERS, [this](HttpConnection* c) { work(c); }) != 0;
}

bool MultipartUpload::mayWrite(std::uint64_t from, std::uint64_t to) {
    std::unique_lock<std::mutex> hold(lock_);
    if (to > from && partOf(to - 1) >= MAX_PARTS) fail("the file is larger than an S3 multipart upload can hold");
    // A writer that outruns the uploads waits: the spool stays a few parts long.
    changed_.wait(hold, [&] { return !failure_.empty() || pending_ < MAX_WAITING; });
    if (!failure_.empty()) return false;
    if (to <= from) return true;
    for (std::size_t i = partOf(from); i <= partOf(to - 1); ++i) {
        const auto p = parts_.find(i);
        if (p != parts_.end() && p->second.state != Part::Open) {
            fail("the writer changed bytes at offset " + std::to_string(std::max(from, partStart(i))) +
                 " after they were uploaded");
            return false;
        }
    }
    return true;
}

void MultipartUpload::written(std::uint64_t from, std::uint64_t to) {
    std::vector<std::size_t> full;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (to <= from || !failure_.empty()) return;
        end_ = std::max(end_, to);
        for (std::size_t i = partOf(from); i <= partOf(to - 1); ++i) {
            const std::uint64_t start = partStart(i), end = partStart(i + 1);
            auto& have = parts_[i].have;
            have.emplace_back(std::max(from, start), std::min(to, end));
            std::sort(have.begin(), have.end());
            std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
            for (const auto& r : have) {
                if (!merged.empty() && r.first <= merged.back().second)
                    merged.back().second = std::max(merged.back().second, r.second);
                else
                    merged.push_back(r);
            }
            have.swap(merged);
            // The first part holds the header, which is written last.
            if (i != 0 && have.size() == 1 && have[0].first == start && have[0].second == end) full.push_back(i);
        }
    }
    if (full.empty()) return;
    if (uploadId_.empty() && !initiate()) {
        std::lock_guard<std::mutex> hold(lock_);
        fail(control_ ? control_->failure() : std::string());
        return;
    }
    std::lock_guard<std::mutex> hold(lock_);
    for (std::size_t i : full) queue(i);
    changed_.notify_all();
}

bool MultipartUpload::inSpool(std::uint64_t from, std::uint64_t to) {
    std::lock_guard<std::mutex> hold(lock_);
    for (std::size_t i = partOf(from); to > from && i <= partOf(to - 1); ++i) {
        const auto p = parts_.find(i);
        if (p != parts_.end() && p->second.state == Part::Up) return false;
    }
    return true;
}

void MultipartUpload::queue(std::size_t index) {
    Part& p = parts_[index];
    if (p.state != Part::Open) return;
    p.state = Part::Waiting;
    p.have.clear();  // what matters from now on is the state
    ready_.push_back(index);
    ++pending_;
}

void MultipartUpload::fail(const std::string& why) {
    if (failure_.empty()) failure_ = why.empty() ? "upload to " + origin_.shownUrl() + " failed" : why;
    changed_.notify_all();
}

void MultipartUpload::work(HttpConnection* conn) {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [&] { return stop_ || !ready_.empty(); });
        if (stop_) return;
        const std::size_t index = ready_.front();
        ready_.pop_front();
        parts_[index].state = Part::Sending;
        hold.unlock();
        std::string etag, why;
        const bool ok = send(*conn, index, etag, why);
        hold.lock();
        Part& p = parts_[index];
        --pending_;
        if (ok) {
            p.state = Part::Up;
            p.etag = etag;
            const std::uint64_t start = partStart(index), length = std::min(partStart(index + 1), end_) - start;
            bytesUp_ += length;
            // The bytes are in the bucket now; the spool gives their room back.
            ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(start),
                        static_cast<off_t>(length));
        } else {
            p.state = Part::Open;
            fail(why);
        }
        changed_.notify_all();
    }
}

bool MultipartUpload::send(HttpConnection& conn, std::size_t index, std::string& etag, std::string& why) {
    std::uint64_t start, end;
    {
        std::lock_guard<std::mutex> hold(lock_);
        start = partStart(index);
        end = std::min(partStart(index + 1), end_);
    }
    const std::string query = "partNumber=" + std::to_string(index + 1) + "&uploadId=" + awsEncoded(uploadId_, false);
    HttpConnection::Body body;
    body.fd = fd_;
    body.offset = start;
    body.size = end - start;
    for (int attempt = 1;; ++attempt) {
        const long status = conn.request("PUT", query, body);
        if (status == 200 && !conn.answerTag().empty()) {
            etag = conn.answerTag();
            return true;
        }
        if (stop_ || !mayPass(status) || attempt == ATTEMPTS) {
            conn.noteRequestFailure(("upload of part " + std::to_string(index + 1) + " to").c_str());
            why = conn.failure();
            if (attempt > 1) why += " (tried " + std::to_string(attempt) + " times)";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500 << (attempt - 1)));
    }
}

bool MultipartUpload::finish(std::uint64_t size) {
    {
        std::unique_lock<std::mutex> hold(lock_);
        end_ = std::max(end_, size);
        for (std::size_t i = 0; size != 0 && i <= partOf(size - 1); ++i) queue(i);
        changed_.notify_all();
        changed_.wait(hold, [&] { return !failure_.empty() || pending_ == 0; });
        if (!failure_.empty()) {
            hold.unlock();
            abort();
            return false;
        }
    }
    std::string xml = "<CompleteMultipartUpload>";
    for (const auto& p : parts_)
        xml += "<Part><PartNumber>" + std::to_string(p.first + 1) + "</PartNumber><ETag>" + p.second.etag +
               "</ETag></Part>";
    xml += "</CompleteMultipartUpload>";
    HttpConnection::Body body;
    body.text = &xml;
    const std::string query = "uploadId=" + awsEncoded(uploadId_, false);
    const long status = control_->requestUnlessExists("POST", query, body, exclusive_);
    // An error can come with a 200, in the body.
    if (status == 200 && control_->answer().find("<Error>") == std::string::npos) {
        completed_ = true;
        return true;
    }
    control_->noteUploadFailure();
    failure_ = control_->failure();
    abort();
    return false;
}

void MultipartUpload::abort() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    changed_.notify_all();
    workers_.join();
    if (!uploadId_.empty() && !completed_ && control_) {
        control_->request("DELETE", "uploadId=" + awsEncoded(uploadId_, false), {});
        uploadId_.clear();
    }
}

}  // namespace remote
}  // namespace avi

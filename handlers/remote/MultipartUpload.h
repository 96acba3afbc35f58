#pragma once
// An S3 multipart upload that streams while the file is written into a local spool.
//
// The file is cut into parts at fixed offsets (8 MiB each up to 8 GiB, 64 MiB after, so that
// 10,000 parts reach 584 GiB). A part goes up as soon as every byte of it has been written:
// a part the writer has left a gap in (the header at the start, written last; the headers
// of a RIFF segment, written when it closes) waits until the gap is filled or the file is
// closed. Once a part is up, its bytes leave the spool (a hole is punched), so the spool holds
// the parts still open plus at most MAX_WAITING parts on their way; a writer that outruns the
// uploads waits. A part that fails for a reason that may pass (no answer, a dropped
// connection, 5xx, 408, 429) is sent again, three times at most, with a growing pause.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "HttpConnection.h"
#include "Workers.h"

namespace avi {
namespace remote {

class MultipartUpload {
public:
    static const std::size_t MAX_WAITING = 4;

    // fd: the spool the writer's bytes go to first. exclusive: an object that appears meanwhile
    // is not replaced (If-None-Match: * on completion, where the server implements it).
    MultipartUpload(const HttpConnection& origin, int fd, bool exclusive);
    ~MultipartUpload();  // aborts an upload that was not completed
    MultipartUpload(const MultipartUpload&) = delete;
    MultipartUpload& operator=(const MultipartUpload&) = delete;

    // The writer is about to write [from, to): false (the reason in failure()) when that
    // would change a part that is already up, or when the upload has failed.
    bool mayWrite(std::uint64_t from, std::uint64_t to);
    // [from, to) is in the spool: parts it completes start their upload.
    void written(std::uint64_t from, std::uint64_t to);
    // Whether [from, to) is still in the spool.
    bool inSpool(std::uint64_t from, std::uint64_t to);

    // Nothing went up yet: the file may be sent in one request instead.
    bool started() const { return !uploadId_.empty(); }
    // Sends every part not yet up and completes the upload of a file of size bytes; on
    // failure the upload is aborted and failure() says why.
    bool finish(std::uint64_t size);
    // Aborts the upload, so that no part is left stored.
    void abort();
    const std::string& failure() const { return failure_; }
    // The bytes that went up, which an aborted upload loses.
    std::uint64_t bytesUp() const { return bytesUp_; }

private:
    struct Part {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> have;  // written ranges, merged
        enum { Open, Waiting, Sending, Up } state = Open;
        std::string etag;
    };

    bool initiate();                // lock not held
    void queue(std::size_t index);  // lock held
    void work(HttpConnection* conn);
    bool send(HttpConnection& conn, std::size_t index, std::string& etag, std::string& why);
    void fail(const std::string& why);  // lock held

    const HttpConnection& origin_;
    std::unique_ptr<HttpConnection> control_;  // initiate, complete, abort
    const int fd_;
    const bool exclusive_;
    std::string uploadId_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::atomic<bool> stop_{false};
    std::map<std::size_t, Part> parts_;
    std::deque<std::size_t> ready_;  // parts waiting for a worker, in the order they filled
    std::size_t pending_ = 0;        // parts waiting or being sent
    std::uint64_t end_ = 0;          // the furthest byte written
    std::uint64_t bytesUp_ = 0;
    std::string failure_;
    bool completed_ = false;
    Workers workers_{stop_};
};

}  // namespace remote
}  // namespace avi

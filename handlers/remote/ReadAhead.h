#pragma once
// Read-ahead for one sequential run through a remote resource. The blocks after the reader's
// position are fetched in parallel, each worker on a connection of its own, so a reader at a
// distant server does not wait a round trip per read.
//
// Sizing: a block is about twice what one connection moves in a round trip (from the timing
// of the fetch that found the run), between 2 and 8 MiB, so that a request's wait is a small
// part of its time. The run starts with enough blocks in flight to cover one round trip and
// adds one each time the reader has to wait for a block, so a link whose connections are
// each held back by their window gets more of them. Memory: all blocks, those still arriving
// for a run the reader left included, come from a pool of at most MEMORY_BOUND bytes.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "HttpConnection.h"
#include "Workers.h"

namespace avi {
namespace remote {

class ReadAhead {
public:
    static const std::size_t MEMORY_BOUND = std::size_t(64) << 20;

    ReadAhead(const HttpConnection& origin, const Validators& v);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Starts a run at `at`, sized from the timing of a fetch; the previous run is dropped.
    // False when no worker could be started.
    bool start(std::uint64_t at, const HttpConnection::Timing& t);

    // Copies up to n bytes at `at` from the run, waiting for a block that is on its way.
    // 0 when the run does not hold `at`, or when its block failed: the run ends, and the
    // caller asks for the bytes itself (and so learns, and records, why).
    std::size_t take(std::uint64_t at, char* dst, std::size_t n);

private:
    enum class State { Queued, Fetching, Ready, Failed };
    struct Slot {
        std::uint64_t start = 0;
        std::size_t length = 0;
        std::unique_ptr<char[]> data;
        State state = State::Queued;
        bool dropped = false;  // left by the run while a worker still fills it
    };

    void work(HttpConnection* conn);
    void refill();                     // lock held
    void drop(Slot* slot);             // lock held
    void dropRun();                    // lock held
    bool ensureWorkers();              // lock held
    std::unique_ptr<char[]> buffer();  // lock held; null when the pool is spent

    const HttpConnection& origin_;
    const Validators& resource_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::atomic<bool> stop_{false};
    std::deque<std::shared_ptr<Slot>> run_;  // contiguous, in file order
    std::uint64_t next_ = 0;                 // where the next queued block starts
    std::size_t block_ = 0;
    std::size_t depth_ = 0;
    std::vector<std::unique_ptr<char[]>> pool_;
    std::size_t allocated_ = 0;
    Workers workers_{stop_};
};

}  // namespace remote
}  // namespace avi

#include "ReadAhead.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace avi {
namespace remote {
namespace {

const std::size_t MIB = std::size_t(1) << 20;
const std::size_t MIN_BLOCK = 2 * MIB;
const std::size_t MAX_BLOCK = 8 * MIB;
const std::size_t MAX_DEPTH = 8;

// The most blocks a run may have in flight: MAX_DEPTH, fewer when the pool cannot hold them.
std::size_t deepest(std::size_t block) { return std::min(MAX_DEPTH, ReadAhead::MEMORY_BOUND / block); }

}  // namespace

ReadAhead::ReadAhead(const HttpConnection& origin, const Validators& v) : origin_(origin), resource_(v) {}

ReadAhead::~ReadAhead() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;  // also aborts the requests in flight
    }
    changed_.notify_all();
    workers_.join();
}

bool ReadAhead::start(std::uint64_t at, const HttpConnection::Timing& t) {
    std::lock_guard<std::mutex> hold(lock_);
    if (block_ == 0) {
        // Learnt once: every block of the pool has the same size.
        const double wait = std::max(t.wait, 0.0005);
        const double rate = t.bytes >= 256 * 1024 && t.transfer > 0 ? double(t.bytes) / t.transfer : 100e6;
        const double want = std::ceil(2 * rate * wait / double(MIB)) * double(MIB);
        block_ = std::clamp(static_cast<std::size_t>(std::min(want, double(MAX_BLOCK))), MIN_BLOCK, MAX_BLOCK);
        const auto cover = static_cast<std::size_t>(std::ceil(rate * wait / double(block_)));
        depth_ = std::clamp<std::size_t>(cover + 2, 2, deepest(block_));
    }
    dropRun();
    next_ = at;
    if (!ensureWorkers()) return false;
    refill();
    changed_.notify_all();
    return true;
}

std::size_t ReadAhead::take(std::uint64_t at, char* dst, std::size_t n) {
    std::unique_lock<std::mutex> hold(lock_);
    if (run_.empty() || at < run_.front()->start || at >= next_) return 0;
    while (run_.front()->start + run_.front()->length <= at) {
        drop(run_.front().get());
        run_.pop_front();
    }
    refill();
    changed_.notify_all();
    const std::shared_ptr<Slot> slot = run_.front();
    bool waited = false;
    while (slot->state == State::Queued || slot->state == State::Fetching) {
        waited = true;
        changed_.wait(hold);
    }
    if (slot->state == State::Failed) {
        dropRun();
        return 0;
    }
    const auto k = static_cast<std::size_t>(std::min<std::uint64_t>(n, slot->start + slot->length - at));
    std::memcpy(dst, slot->data.get() + (at - slot->start), k);
    // The reader outran the blocks in flight: one more in parallel, while memory allows.
    if (waited && depth_ < deepest(block_)) {
        ++depth_;
        ensureWorkers();
        refill();
        changed_.notify_all();
    }
    return k;
}

void ReadAhead::work(HttpConnection* conn) {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        std::shared_ptr<Slot> slot;
        changed_.wait(hold, [&] {
            for (const auto& s : run_)
                if (!slot && s->state == State::Queued) slot = s;
            return stop_ || slot;
        });
        if (stop_) return;
        slot->state = State::Fetching;
        hold.unlock();
        std::size_t received = 0;
        const FetchResult r = conn->fetch(slot->start, slot->data.get(), slot->length, nullptr, 0, resource_, received);
        hold.lock();
        slot->state = r == FetchResult::Ok ? State::Ready : State::Failed;
        if (slot->dropped) pool_.push_back(std::move(slot->data));
        changed_.notify_all();
    }
}

void ReadAhead::refill() {
    while (next_ < resource_.size && run_.size() <= depth_) {
        std::unique_ptr<char[]> data = buffer();
        if (!data) return;
        auto slot = std::make_shared<Slot>();
        slot->start = next_;
        slot->length = static_cast<std::size_t>(std::min<std::uint64_t>(block_, resource_.size - next_));
        slot->data = std::move(data);
        next_ += slot->length;
        run_.push_back(std::move(slot));
    }
}

void ReadAhead::drop(Slot* slot) {
    if (slot->state == State::Fetching)
        slot->dropped = true;  // the worker gives the buffer back when its request ends
    else
        pool_.push_back(std::move(slot->data));
}

void ReadAhead::dropRun() {
    for (const auto& s : run_) drop(s.get());
    run_.clear();
}

bool ReadAhead::ensureWorkers() {
    const std::size_t running = workers_.grow(origin_, depth_, [this](HttpConnection* c) { work(c); });
    depth_ = std::max<std::size_t>(1, std::min(depth_, running));
    return running != 0;
}

std::unique_ptr<char[]> ReadAhead::buffer() {
    if (!pool_.empty()) {
        std::unique_ptr<char[]> b = std::move(pool_.back());
        pool_.pop_back();
        return b;
    }
    if ((allocated_ + 1) * block_ > MEMORY_BOUND) return nullptr;
    std::unique_ptr<char[]> b(new (std::nothrow) char[block_]);
    if (b) ++allocated_;
    return b;
}

}  // namespace remote
}  // namespace avi

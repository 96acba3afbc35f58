#pragma once
// Threads that each own a connection of their own, a twin of an origin's, whose requests are
// aborted once a stop flag is set (read-ahead blocks, upload parts). Their connections are
// quiet: the owner decides what the host hears.

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "HttpConnection.h"

namespace avi {
namespace remote {

class Workers {
public:
    explicit Workers(const std::atomic<bool>& stop) : stop_(stop) {}
    ~Workers() { join(); }
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    // Starts threads until there are n, each running body(connection); returns how many run.
    template <typename Body>
    std::size_t grow(const HttpConnection& origin, std::size_t n, Body body) {
        while (threads_.size() < n) {
            std::unique_ptr<HttpConnection> conn = origin.twin();
            if (!conn) break;
            conn->cancelWhen(&stop_);
            conn->setQuiet();
            try {
                threads_.emplace_back(body, conn.get());
            } catch (...) {
                break;
            }
            connections_.push_back(std::move(conn));
        }
        return threads_.size();
    }
    // Waits for every thread; the owner sets the stop flag and wakes them first.
    void join() {
        for (std::thread& t : threads_) t.join();
        threads_.clear();
        connections_.clear();
    }
    std::size_t size() const { return threads_.size(); }

private:
    const std::atomic<bool>& stop_;
    std::vector<std::unique_ptr<HttpConnection>> connections_;
    std::vector<std::thread> threads_;
};

}  // namespace remote
}  // namespace avi

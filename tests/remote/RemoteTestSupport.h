#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "avi/IFileHandler.h"
#include "test_util.h"

namespace remotetest {

using writetest::pattern;
using writetest::TempDir;

// nginx on 127.0.0.1 and a free port, as a child process (daemon off, one process) with
// its configuration, pid file, logs and temp dirs in a directory of its own. Locations:
//   /          files under root(), PUT accepted (parent directories created)
//   /norange/  ranges ignored (200 with the whole file)
//   /fail/     500 for every request
//   /flaky/    503 for ranged requests, files otherwise
class Nginx {
public:
    Nginx() = default;
    ~Nginx() { stop(); }
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;

    // False, with the reason, when nginx is not installed or does not come up.
    bool start(std::string& why);
    void stop();

    std::string url(const std::string& path) const;  // path without the leading '/'
    std::string root() const { return dir_->path + "/www"; }
    // Requests in the access log so far whose method is method ("" for all).
    std::size_t requests(const std::string& method = std::string()) const;

private:
    std::unique_ptr<TempDir> dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// A tiny HTTP server for misbehaviour nginx will not produce.
//   HalfBody:    HEAD answers 200 with the size; a GET answers 206 for the asked range,
//                sends half of the body and closes the connection.
//   CloseAtOnce: every connection is closed as soon as it is accepted.
class MisbehavingServer {
public:
    enum class Mode { HalfBody, CloseAtOnce };
    MisbehavingServer(Mode mode, std::uint64_t size);
    ~MisbehavingServer();
    MisbehavingServer(const MisbehavingServer&) = delete;
    MisbehavingServer& operator=(const MisbehavingServer&) = delete;
    bool ok() const { return listener_ >= 0; }
    std::string url(const std::string& path) const;

private:
    void run();
    void serve(int fd);

    Mode mode_;
    std::uint64_t size_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens (connections are refused).
int closedPort();

// A handler made by the real plug-in of this build tree, destroyed through the plug-in.
std::shared_ptr<avi::IFileHandler> makeRemoteHandler();

void writeFile(const std::string& path, const std::vector<char>& bytes);
std::vector<char> readFile(const std::string& path);

}  // namespace remotetest

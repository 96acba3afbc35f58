#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AviBuilder.h"
#include "Shell.h"
#include "avi/IFileHandler.h"

namespace remotetest {

using avitest::pattern;
using avitest::TempDir;

// nginx on 127.0.0.1 and a free port, as a daemon with its configuration, pid file, logs
// and temp dirs in a directory of its own; nginx.conf.in lists its locations.
class Nginx {
public:
    ~Nginx() { stop(); }
    // False, with the reason, when nginx is not installed or does not come up.
    bool start(std::string& why);
    void stop();
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + "/" + path; }
    std::string root() const { return dir_.path + "/www"; }
    // Requests in the access log so far whose method is method ("" for all).
    std::size_t requests(const std::string& method = std::string()) const;

private:
    TempDir dir_;
    int port_ = 0;
    bool running_ = false;
};

// A handler made by the real plug-in of this build tree, destroyed through the plug-in.
std::shared_ptr<avi::IFileHandler> makeRemoteHandler();

void writeFile(const std::string& path, const std::vector<char>& bytes);

}  // namespace remotetest

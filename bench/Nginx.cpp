#include "Nginx.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "avi/RemotePlugin.h"

namespace remotetest {
namespace {

// A port on 127.0.0.1 where nothing listens (the kernel picks a free one).
int closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

}  // namespace

bool Nginx::start(std::string& why) {
    const std::string d = dir_.path;
    for (const char* sub : {"/www", "/tmp"}) ::mkdir((d + sub).c_str(), 0755);
    // The port can be taken between closedPort and nginx's bind: try a few.
    for (int attempt = 0; attempt < 5 && !running_; ++attempt) {
        port_ = closedPort();
        avitest::run("sed 's|@DIR@|" + d + "|g; s|@PORT@|" + std::to_string(port_) +
                     "|' '" AVI_BENCH_SOURCE_DIR "/nginx.conf.in' >'" + d + "/nginx.conf'");
        // The daemon's parent returns once the port is bound and listening.
        avitest::run("PATH=$PATH:/usr/sbin:/usr/local/sbin nginx -p '" + d + "' -c '" + d + "/nginx.conf' -e '" + d +
                         "/error.log' 2>>'" + d + "/error.log'",
                     &running_);
    }
    if (!running_) why = "nginx did not come up: " + avitest::run("cat '" + d + "/error.log'");
    return running_;
}

void Nginx::stop() {
    if (!running_) return;
    running_ = false;
    // nginx removes its pid file as it exits.
    const std::string pidFile = dir_.path + "/nginx.pid";
    ::kill(std::stoi("0" + avitest::run("cat '" + pidFile + "'")), SIGTERM);
    for (int i = 0; i < 500 && ::access(pidFile.c_str(), F_OK) == 0; ++i) ::usleep(10000);
}

std::size_t Nginx::requests(const std::string& method) const {
    // nginx logs a request after it has answered: wait until the log is still.
    const std::string cmd = "grep -c '^" + method + "' '" + dir_.path + "/access.log'";
    std::string n = avitest::run(cmd);
    for (int still = 0; still < 4; ::usleep(25000)) {
        const std::string m = avitest::run(cmd);
        still = m == n ? still + 1 : 0;
        n = m;
    }
    return std::stoul("0" + n);
}

std::shared_ptr<avi::IFileHandler> makeRemoteHandler() {
    using namespace avi::remote_plugin;
    static void* lib =
        ::dlopen((std::string(AVI_TEST_BINARY_DIR "/") + FOLDER + "/" + FILE_NAME).c_str(), RTLD_NOW | RTLD_LOCAL);
    const auto create = reinterpret_cast<CreateFn>(::dlsym(lib, CREATE_ENTRY));
    const auto destroy = reinterpret_cast<DestroyFn>(::dlsym(lib, DESTROY_ENTRY));
    if (lib == nullptr || create == nullptr || destroy == nullptr) return nullptr;
    return std::shared_ptr<avi::IFileHandler>(create(), destroy);
}

void writeFile(const std::string& path, const std::vector<char>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace remotetest

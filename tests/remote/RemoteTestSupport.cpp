#include "RemoteTestSupport.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace remotetest {
namespace {

// A socket bound to 127.0.0.1:port (0: any free port); the port bound is stored back.
int bound(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

}  // namespace

int closedPort() {
    int port = 0;
    ::close(bound(port));
    return port;
}

bool Nginx::start(std::string& why) {
    const std::string d = dir_.path;
    for (const char* sub : {"/www", "/tmp"}) ::mkdir((d + sub).c_str(), 0755);
    // The port can be taken between closedPort and nginx's bind: try a few.
    for (int attempt = 0; attempt < 5 && !running_; ++attempt) {
        port_ = closedPort();
        writetest::run("sed 's|@DIR@|" + d + "|g; s|@PORT@|" + std::to_string(port_) +
                       "|' '" AVI_TEST_SOURCE_DIR "/remote/nginx.conf.in' >'" + d + "/nginx.conf'");
        // The daemon's parent returns once the port is bound and listening.
        writetest::run("PATH=$PATH:/usr/sbin:/usr/local/sbin nginx -p '" + d + "' -c '" + d + "/nginx.conf' -e '" + d +
                           "/error.log' 2>>'" + d + "/error.log'",
                       &running_);
    }
    if (!running_) why = "nginx did not come up: " + writetest::run("cat '" + d + "/error.log'");
    return running_;
}

void Nginx::stop() {
    if (!running_) return;
    running_ = false;
    // nginx removes its pid file as it exits.
    const std::string pidFile = dir_.path + "/nginx.pid";
    ::kill(std::stoi("0" + writetest::run("cat '" + pidFile + "'")), SIGTERM);
    for (int i = 0; i < 500 && ::access(pidFile.c_str(), F_OK) == 0; ++i) ::usleep(10000);
}

std::size_t Nginx::requests(const std::string& method) const {
    // nginx logs a request after it has answered: wait until the log is still.
    const std::string cmd = "grep -c '^" + method + "' '" + dir_.path + "/access.log'";
    std::string n = writetest::run(cmd);
    for (int still = 0; still < 4; ::usleep(25000)) {
        const std::string m = writetest::run(cmd);
        still = m == n ? still + 1 : 0;
        n = m;
    }
    return std::stoul("0" + n);
}

HalfBodyServer::HalfBodyServer(std::uint64_t size) {
    const int listener = bound(port_);
    ::listen(listener, 16);
    pid_ = ::fork();
    if (pid_ != 0) {
        ::close(listener);
        return;
    }
    ::alarm(600);  // never outlives a test run that died without its destructor
    const std::vector<char> body = pattern(static_cast<std::size_t>(size), 1);
    for (;;) {
        const int fd = ::accept(listener, nullptr, nullptr);
        for (std::string in; fd >= 0;) {
            char buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            in.append(buf, static_cast<std::size_t>(n));
            const std::size_t end = in.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            const std::string head = in.substr(0, end);
            in.erase(0, end + 4);
            unsigned long long first = 0, last = size - 1;
            if (head.find("Range: bytes=") != std::string::npos)
                std::sscanf(head.c_str() + head.find("Range: bytes=") + 13, "%llu-%llu", &first, &last);
            std::ostringstream r;
            if (head.compare(0, 5, "HEAD ") == 0)
                r << "HTTP/1.1 200 OK\r\nContent-Length: " << size
                  << "\r\nETag: \"v1\"\r\nAccept-Ranges: bytes\r\n\r\n";
            else
                r << "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " << first << "-" << last << "/" << size
                  << "\r\nContent-Length: " << last - first + 1 << "\r\nETag: \"v1\"\r\n\r\n"
                  << std::string(body.data() + first, (last - first + 1) / 2);
            ::send(fd, r.str().data(), r.str().size(), MSG_NOSIGNAL);
            if (head.compare(0, 5, "HEAD ") != 0) break;  // the rest of the body never comes
        }
        ::close(fd);
    }
}

HalfBodyServer::~HalfBodyServer() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

std::shared_ptr<avi::IFileHandler> makeRemoteHandler() {
    static void* lib =
        ::dlopen(AVI_TEST_BINARY_DIR "/bin/darm64/libvxshared_multimedia_utils_remote_file_handler.dylib",
                 RTLD_NOW | RTLD_LOCAL);
    const auto create = reinterpret_cast<avi::IFileHandler* (*)()>(::dlsym(lib, "createRemoteFileHandlerInstance"));
    const auto destroy =
        reinterpret_cast<void (*)(avi::IFileHandler*)>(::dlsym(lib, "destroyRemoteFileHandlerInstance"));
    if (lib == nullptr || create == nullptr || destroy == nullptr) return nullptr;
    return std::shared_ptr<avi::IFileHandler>(create(), destroy);
}

void writeFile(const std::string& path, const std::vector<char>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace remotetest

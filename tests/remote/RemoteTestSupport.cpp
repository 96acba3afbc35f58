#include "RemoteTestSupport.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace remotetest {
namespace {

std::string findNginx() {
    const char* fixed[] = {"/usr/sbin/nginx", "/usr/bin/nginx", "/usr/local/sbin/nginx"};
    for (const char* p : fixed)
        if (::access(p, X_OK) == 0) return p;
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/nginx";
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::string();
}

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A port the kernel just handed out, released again for the server to bind.
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

bool canConnect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = loopback(port);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

std::string nginxConfig(const std::string& dir, int port) {
    std::ostringstream c;
    c << "daemon off;\n"
         "master_process off;\n"
         "worker_processes 1;\n"
         "pid " << dir << "/nginx.pid;\n"
         "error_log " << dir << "/error.log warn;\n"
         "events { worker_connections 256; }\n"
         "http {\n"
         "  log_format plain '$request_method $uri $status \"$http_range\" $body_bytes_sent';\n"
         "  access_log " << dir << "/access.log plain;\n"
         "  client_body_temp_path " << dir << "/tmp/body;\n"
         "  proxy_temp_path " << dir << "/tmp/proxy;\n"
         "  fastcgi_temp_path " << dir << "/tmp/fastcgi;\n"
         "  uwsgi_temp_path " << dir << "/tmp/uwsgi;\n"
         "  scgi_temp_path " << dir << "/tmp/scgi;\n"
         "  client_max_body_size 0;\n"
         "  keepalive_requests 100000;\n"
         "  sendfile on;\n"
         "  types { }\n"
         "  default_type application/octet-stream;\n"
         "  server {\n"
         "    listen 127.0.0.1:" << port << ";\n"
         "    root " << dir << "/www;\n"
         "    location / { dav_methods PUT; create_full_put_path on; }\n"
         "    location /norange/ { max_ranges 0; }\n"
         "    location /fail/ { return 500; }\n"
         "    location /flaky/ { if ($http_range) { return 503; } }\n"
         "  }\n"
         "}\n";
    return c.str();
}

}  // namespace

bool Nginx::start(std::string& why) {
    const std::string nginx = findNginx();
    if (nginx.empty()) {
        why = "nginx is not installed";
        return false;
    }
    dir_.reset(new TempDir());
    const std::string dir = dir_->path;
    for (const char* sub : {"/www", "/tmp"}) ::mkdir((dir + sub).c_str(), 0755);
    // The port can be taken between freePort and nginx's bind: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = freePort();
        const std::string conf = dir + "/nginx.conf";
        std::ofstream(conf) << nginxConfig(dir, port_);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string out = dir + "/stderr.log";
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const std::string errLog = dir + "/error.log";
        const char* argv[] = {"nginx", "-p", dir.c_str(), "-c", conf.c_str(), "-e", errLog.c_str(), nullptr};
        const int rc = posix_spawn(&pid_, nginx.c_str(), &actions, nullptr, const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            why = "cannot start " + nginx;
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            if (canConnect(port_)) return true;
            ::usleep(10000);
        }
        stop();
    }
    why = "nginx did not come up: " + writetest::run("cat '" + dir + "/error.log'");
    return false;
}

void Nginx::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        ::usleep(10000);
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

std::string Nginx::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

std::size_t Nginx::requests(const std::string& method) const {
    auto count = [&] {
        std::ifstream log(dir_->path + "/access.log");
        std::string line;
        std::size_t n = 0;
        while (std::getline(log, line))
            if (method.empty() || line.compare(0, method.size() + 1, method + " ") == 0) ++n;
        return n;
    };
    // nginx logs a request after it has sent the response: wait until the log is still.
    std::size_t n = count();
    for (int still = 0, i = 0; still < 5 && i < 100; ++i) {
        ::usleep(20000);
        const std::size_t m = count();
        still = m == n ? still + 1 : 0;
        n = m;
    }
    return n;
}

MisbehavingServer::MisbehavingServer(Mode mode, std::uint64_t size) : mode_(mode), size_(size) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(listener_);
        listener_ = -1;
        return;
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
}

MisbehavingServer::~MisbehavingServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
}

std::string MisbehavingServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

void MisbehavingServer::run() {
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        if (mode_ == Mode::HalfBody) serve(fd);
        ::close(fd);
    }
}

void MisbehavingServer::serve(int fd) {
    const std::vector<char> body = pattern(static_cast<std::size_t>(size_), 1);
    std::string in;
    char buf[4096];
    while (!stop_) {
        const std::size_t headEnd = in.find("\r\n\r\n");
        if (headEnd == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return;
            in.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        const std::string head = in.substr(0, headEnd);
        in.erase(0, headEnd + 4);
        std::ostringstream reply;
        if (head.compare(0, 5, "HEAD ") == 0) {
            reply << "HTTP/1.1 200 OK\r\nContent-Length: " << size_ << "\r\nETag: \"v1\"\r\n"
                  << "Accept-Ranges: bytes\r\n\r\n";
            const std::string r = reply.str();
            if (::send(fd, r.data(), r.size(), MSG_NOSIGNAL) < 0) return;
            continue;
        }
        unsigned long long first = 0, last = size_ - 1;
        const std::size_t range = head.find("Range: bytes=");
        if (range != std::string::npos) std::sscanf(head.c_str() + range + 13, "%llu-%llu", &first, &last);
        const unsigned long long length = last - first + 1;
        reply << "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " << first << "-" << last << "/" << size_
              << "\r\nContent-Length: " << length << "\r\nETag: \"v1\"\r\n\r\n";
        std::string r = reply.str();
        r.append(body.data() + first, static_cast<std::size_t>(length / 2));
        ::send(fd, r.data(), r.size(), MSG_NOSIGNAL);
        return;  // the rest of the body never comes
    }
}

int closedPort() { return freePort(); }

std::shared_ptr<avi::IFileHandler> makeRemoteHandler() {
    using Create = avi::IFileHandler* (*)();
    using Destroy = void (*)(avi::IFileHandler*);
    static void* lib = ::dlopen(AVI_TEST_BINARY_DIR "/bin/darm64/libvxshared_multimedia_utils_remote_file_handler.dylib",
                                RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return nullptr;
    const auto create = reinterpret_cast<Create>(::dlsym(lib, "createRemoteFileHandlerInstance"));
    const auto destroy = reinterpret_cast<Destroy>(::dlsym(lib, "destroyRemoteFileHandlerInstance"));
    if (create == nullptr || destroy == nullptr) return nullptr;
    return std::shared_ptr<avi::IFileHandler>(create(), destroy);
}

void writeFile(const std::string& path, const std::vector<char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace remotetest

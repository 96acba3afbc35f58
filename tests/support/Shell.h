#pragma once
// Temporary files and the external programs the tests run (ffmpeg, GStreamer, servers).

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace avitest {

// A temporary directory (in TMPDIR, else /tmp) removed with its files at the end of the scope.
struct TempDir {
    std::string path = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/avi_test_XXXXXX";
    TempDir() { path = ::mkdtemp(path.data()) ? path : std::string(); }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

inline bool onPath(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command and returns its standard output; ok is false on a non-zero exit.
inline std::string run(const std::string& cmd, bool* ok = nullptr) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) {
        if (ok) *ok = false;
        return out;
    }
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = ::pclose(p);
    if (ok) *ok = rc == 0;
    return out;
}

}  // namespace avitest

#include "common.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "avi/LocalFileHandler.h"
#include "strutil/strutil.h"

namespace fs = boost::filesystem;

namespace avitool {

// ---- messages ----

namespace {

// Removes "user:password@" from every URL in text.
std::string scrub(std::string text) {
    for (std::size_t at = text.find("://"); at != std::string::npos; at = text.find("://", at + 3)) {
        const std::size_t host = at + 3;
        const std::size_t end = text.find_first_of("/?#'\" \t\n)", host);
        const std::size_t sign = text.rfind('@', end == std::string::npos ? text.size() : end);
        if (sign != std::string::npos && sign >= host) text.erase(host, sign + 1 - host);
    }
    return text;
}

// The plug-in's own description of its last failure. The plug-in is opened here by the
// same path the library loads it from, so both share one copy of it (a second dlopen of
// a loaded library gives the same one); holding it also keeps it loaded between opens.
using TakeFailureFn = std::size_t (*)(char*, std::size_t);
TakeFailureFn remoteFailureEntry() {
    static TakeFailureFn entry = [] {
        try {
            const std::string root = strutil::i18n::to_string(strutil::filesystem::get_install_path());
            const fs::path plugin =
                fs::canonical(root) / "bin" / "darm64" / "libvxshared_multimedia_utils_remote_file_handler.dylib";
            void* lib = ::dlopen(plugin.string().c_str(), RTLD_NOW | RTLD_LOCAL);
            return lib != nullptr ? reinterpret_cast<TakeFailureFn>(::dlsym(lib, "takeRemoteFileHandlerFailure"))
                                  : nullptr;
        } catch (const std::exception&) {
            return static_cast<TakeFailureFn>(nullptr);
        }
    }();
    return entry;
}

std::string takeRemoteFailure() {
    const TakeFailureFn take = remoteFailureEntry();
    if (take == nullptr) return std::string();
    char text[2048];
    take(text, sizeof text);
    return text;
}

bool lineOpen = false;
bool quietProgress = false;

}  // namespace

std::string shown(const std::string& path) { return scrub(path); }

std::string remoteFailure() { return takeRemoteFailure(); }

int fail(const std::string& message) {
    Progress::breakLine();
    std::fprintf(stderr, "avitool: %s\n", scrub(message).c_str());
    return EXIT_FAIL;
}

std::string errorText(const avi::File& f) {
    std::string text = "error " + std::to_string(f.getErrorCode()) + ": " + f.getErrorMsg();
    if (f.getErrorCode() == avi::errors::ERR_EMPTY_VIDEO_CHUNK)
        text +=
            " (an empty video chunk, as a dropped frame is stored; avitool repair stores the frame before "
            "in its place)";
    return text;
}

int fail(const avi::File& f, const Location& loc, bool writing, const std::string& what) {
    std::string message = loc.typed + (what.empty() ? "" : " " + what);
    if (f.getErrorCode() != avi::errors::ERR_NONE) message += ": " + errorText(f);
    const std::string why = f.getErrorCode() == avi::errors::ERR_OPEN_FAILED ? whyNotOpened(loc.typed, writing)
                            : loc.local                                      ? std::string()
                                                                             : takeRemoteFailure();
    if (!why.empty()) message += " (" + why + ")";
    return fail(message);
}

std::string whyNotOpened(const std::string& path, bool forWriting) {
    const Location loc = locate(path);
    if (!loc.local) return takeRemoteFailure();
    const std::string& p = loc.path;
    struct stat st;
    if (forWriting) {
        const fs::path parent = fs::path(p).parent_path();
        if (!parent.empty() && ::stat(parent.c_str(), &st) != 0)
            return "its folder " + parent.string() + " does not exist";
        return ::access(parent.empty() ? "." : parent.c_str(), W_OK) != 0 ? "its folder is not writable" : "";
    }
    if (::stat(p.c_str(), &st) != 0) return errno == ENOENT ? "no such file" : std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return "is a directory";
    if (::access(p.c_str(), R_OK) != 0) return "not readable: " + std::string(std::strerror(errno));
    return std::string();
}

// ---- paths ----

Location locate(const std::string& typed) {
    Location loc{typed, typed, true};
    if (typed.compare(0, 7, "file://") == 0)
        loc.path = typed.substr(7);
    else if (typed.compare(0, 5, "file:") == 0)
        loc.path = typed.substr(5);
    else
        loc.local = typed.compare(0, 1, "/") == 0 || typed.compare(0, 2, "./") == 0 ||
                    typed.compare(0, 3, "../") == 0 || typed.find(":/") == std::string::npos;
    return loc;
}

bool openFile(avi::internal::FileBridge& f, const Location& loc, const char* mode) {
    f.useHandler(loc.local ? std::make_shared<avi::LocalFileHandler>() : nullptr);
    if (!loc.local) takeRemoteFailure();  // loads the plug-in and forgets an older failure
    return f.open(loc.path.c_str(), mode);
}

std::shared_ptr<avi::IFileHandler> handlerFor(avi::internal::FileBridge& keeper, const Location& loc) {
    if (loc.local) return std::make_shared<avi::LocalFileHandler>();
    return keeper.handlerFor(strutil::i18n::utf8_to_utf16(loc.path));
}

// ---- signals ----

volatile std::sig_atomic_t stopSignal = 0;

namespace {
extern "C" void onStopSignal(int sig) { stopSignal = sig; }
}  // namespace

void installSignalHandlers() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a read of stdin returns at once
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

// ---- outputs ----

namespace {

// Whether a URL names something that can be read (an existing object); a failure to reach it
// counts as no, and the upload will say what is wrong.
bool remoteExists(const Location& loc) {
    avi::internal::FileBridge keeper;
    const auto h = handlerFor(keeper, loc);
    void* f = h ? h->fopen(strutil::i18n::utf8_to_utf16(loc.path), "rb") : nullptr;
    if (f != nullptr) h->fclose(f);
    takeRemoteFailure();
    return f != nullptr;
}

}  // namespace

bool Output::prepare(const std::string& target, bool overwrite, bool visible) {
    const Location loc = locate(target);
    const bool local = loc.local;
    target_ = loc.path;
    remote_ = !local;
    struct stat st;
    if (local && ::stat(target_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return fail(target_ + " is a directory") == EXIT_OK;
        if (!overwrite) return fail(target_ + " exists; use -y (--overwrite) to replace it") == EXIT_OK;
    }
    overwrite_ = overwrite;
    if (!local && !overwrite && remoteExists(loc))
        return fail(shown(target_) + " exists; use -y (--overwrite) to replace it") == EXIT_OK;
    std::string dir, name;
    if (local) {
        const fs::path t(target_);
        dir = t.parent_path().empty() ? std::string(".") : t.parent_path().string();
        name = t.filename().string();
    } else {  // in TMPDIR, where the plug-in keeps its own spool files
        const char* tmp = std::getenv("TMPDIR");
        dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
        name = target_.substr(target_.find_last_of('/') + 1);
    }
    std::string temp = dir + "/." + name + ".XXXXXX.part";
    int fd;
    if (visible && local) {
        // Exclusive when it is the target itself: a file that appeared since the check stays.
        const bool exists = ::stat(target_.c_str(), &st) == 0;
        temp = exists ? target_ + ".part" : target_;
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | (exists ? O_TRUNC : O_EXCL), 0666);
        inPlace_ = !exists;
    } else {
        fd = ::mkstemps(&temp[0], 5);
    }
    if (fd < 0) {
        const std::string why = whyNotOpened("file:" + (local ? target_ : dir), true);
        return fail("cannot write " + (local ? target_ : temp) + ": " + (why.empty() ? std::strerror(errno) : why)) ==
               EXIT_OK;
    }
    // mkstemps makes the file private; the output gets the usual permissions.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (!(visible && local)) ::fchmod(fd, 0666 & ~mask);
    ::close(fd);
    writePath_ = temp;
    temporary_ = true;
    return true;
}

namespace {

// Copies a local file to a URL through the remote plug-in (which uploads at fclose); what
// went wrong, or nothing. Without overwrite, a server that honours If-None-Match keeps an
// object that appeared meanwhile.
std::string upload(const std::string& from, const std::string& url, bool overwrite) {
    avi::internal::FileBridge keeper;
    const auto h = handlerFor(keeper, locate(url));
    takeRemoteFailure();
    void* to = h ? h->fopen(strutil::i18n::utf8_to_utf16(url), overwrite ? "wb" : "wbx") : nullptr;
    if (to == nullptr) {
        const std::string why = takeRemoteFailure();
        return why.empty() ? "cannot open " + shown(url) + " for writing" : why;
    }
    std::FILE* in = std::fopen(from.c_str(), "rb");
    bool ok = in != nullptr;
    std::vector<char> block(1 << 20);
    for (std::size_t n; ok && (n = std::fread(block.data(), 1, block.size(), in)) > 0;)
        ok = h->fwrite(block.data(), 1, n, to) == n;
    ok = ok && std::ferror(in) == 0;
    if (in != nullptr) std::fclose(in);
    ok = h->fclose(to) == 0 && ok;
    const std::string why = takeRemoteFailure();
    return !why.empty() ? why : ok ? std::string() : "cannot copy " + from + " to " + shown(url);
}

}  // namespace

bool Output::commit() {
    if (inPlace_) temporary_ = false;
    if (!temporary_) return true;
    if (remote_) {
        const std::string why = upload(writePath_, target_, overwrite_);
        temporary_ = false;
        if (why.empty()) return std::remove(writePath_.c_str()), true;
        // The plug-in may have kept the bytes itself; then one copy is enough.
        if (why.find("kept at") != std::string::npos) std::remove(writePath_.c_str());
        fail("the upload failed: " + why +
             (why.find("kept at") == std::string::npos ? "; the file is kept at " + writePath_ : std::string()));
        return false;
    }
    if (std::rename(writePath_.c_str(), target_.c_str()) != 0) {
        fail("cannot rename " + writePath_ + " to " + target_ + ": " + std::strerror(errno));
        return false;
    }
    temporary_ = false;
    return true;
}

void Output::drop() {
    if (temporary_) std::remove(writePath_.c_str());
    temporary_ = false;
}

// ---- numbers ----

namespace {
std::uint64_t gcd(std::uint64_t a, std::uint64_t b) {
    while (b != 0) {
        const std::uint64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}
bool digits(const std::string& s) {
    return !s.empty() && s.size() <= 10 && s.find_first_not_of("0123456789") == std::string::npos;
}
}  // namespace

bool parseRate(const std::string& text, std::uint32_t& num, std::uint32_t& den) {
    std::uint64_t n = 0, d = 1;
    const std::size_t slash = text.find('/'), dot = text.find('.');
    if (slash != std::string::npos) {
        const std::string a = text.substr(0, slash), b = text.substr(slash + 1);
        if (!digits(a) || !digits(b)) return false;
        n = std::stoull(a);
        d = std::stoull(b);
    } else if (dot != std::string::npos) {
        const std::string a = text.substr(0, dot), b = text.substr(dot + 1);
        if ((!a.empty() && !digits(a)) || !digits(b) || b.size() > 6) return false;
        for (std::size_t i = 0; i < b.size(); ++i) d *= 10;
        n = (a.empty() ? 0 : std::stoull(a)) * d + std::stoull(b);
    } else {
        if (!digits(text)) return false;
        n = std::stoull(text);
    }
    if (n == 0 || d == 0) return false;
    const std::uint64_t g = gcd(n, d);
    n /= g;
    d /= g;
    if (n > 0xFFFFFFFFu || d > 0xFFFFFFFFu) return false;
    num = static_cast<std::uint32_t>(n);
    den = static_cast<std::uint32_t>(d);
    return true;
}

bool parseSize(const std::string& text, std::uint32_t& w, std::uint32_t& h) {
    const std::size_t x = text.find('x');
    if (x == std::string::npos) return false;
    const std::string a = text.substr(0, x), b = text.substr(x + 1);
    if (!digits(a) || !digits(b) || a.size() > 5 || b.size() > 5) return false;
    w = static_cast<std::uint32_t>(std::stoul(a));
    h = static_cast<std::uint32_t>(std::stoul(b));
    return w > 0 && h > 0 && w <= 32768 && h <= 32768;
}

// ---- progress ----

namespace {
double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }
}  // namespace

Progress::Progress(const char* label, std::uint64_t total)
    : label_(label), total_(total), on_(!quietProgress && ::isatty(2) == 1), start_(now()) {}

Progress::~Progress() { breakLine(); }

void Progress::setQuiet(bool quiet) { quietProgress = quiet; }

void Progress::breakLine() {
    if (!lineOpen) return;
    std::fputc('\n', stderr);
    lineOpen = false;
}

void Progress::update(std::uint64_t done) {
    if (!on_) return;
    const double t = now();
    if ((total_ == 0 || done < total_) && t - lastDraw_ < 0.1) return;
    lastDraw_ = t;
    struct winsize ws;
    const int columns = ::ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
    const double elapsed = t - start_, rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    const long left = rate > 0 ? static_cast<long>(static_cast<double>(total_ - std::min(done, total_)) / rate) : 0;
    if (total_ == 0) {  // a stream of unknown length: a count and a rate
        std::fprintf(stderr, "\r%s %llu done, %.1f/s", label_, static_cast<unsigned long long>(done), rate);
        lineOpen = true;
        return;
    }
    char tail[96];
    std::snprintf(tail, sizeof tail, " %3d%% %.1f/s %ld:%02ld left", static_cast<int>(done * 100 / total_), rate,
                  left / 60, left % 60);
    const int width = columns - 1 - static_cast<int>(std::strlen(label_) + std::strlen(tail)) - 3;
    std::string bar;
    if (width >= 5) {
        const auto filled =
            static_cast<std::size_t>(static_cast<std::uint64_t>(width) * std::min(done, total_) / total_);
        bar = " [" + std::string(filled, '#') + std::string(static_cast<std::size_t>(width) - filled, ' ') + "]";
    }
    std::string line = std::string(label_) + bar + tail;
    if (line.size() > static_cast<std::size_t>(columns - 1))
        line.resize(static_cast<std::size_t>(std::max(columns - 1, 0)));
    std::fprintf(stderr, "\r%s", line.c_str());
    lineOpen = true;
    if (done >= total_) breakLine();
}

}  // namespace avitool

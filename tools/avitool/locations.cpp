#include "locations.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstring>

#include "avi/LocalFileHandler.h"
#include "avi/RemotePlugin.h"
#include "messages.h"
#include "strutil/strutil.h"

namespace fs = boost::filesystem;

namespace avitool {

namespace {

// The plug-in as the library loads it: opened by the same path, so both share one copy of it
// (a second dlopen of a loaded library gives the same one); holding it keeps it loaded.
void* pluginLibrary() {
    static void* lib = [] {
        try {
            const std::string root = strutil::i18n::to_string(strutil::filesystem::get_install_path());
            const fs::path plugin = fs::canonical(root) / avi::remote_plugin::FOLDER / avi::remote_plugin::FILE_NAME;
            return ::dlopen(plugin.string().c_str(), RTLD_NOW | RTLD_LOCAL);
        } catch (const std::exception&) {
            return static_cast<void*>(nullptr);
        }
    }();
    return lib;
}

}  // namespace

void* remoteEntry(const char* name) {
    void* lib = pluginLibrary();
    return lib != nullptr ? ::dlsym(lib, name) : nullptr;
}

std::string remoteFailure() {
    static const auto take =
        reinterpret_cast<avi::remote_plugin::TakeFailureFn>(remoteEntry(avi::remote_plugin::FAILURE_ENTRY));
    if (take == nullptr) return std::string();
    char text[2048];
    take(text, sizeof text);
    return text;
}

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
    if (!loc.local) remoteFailure();  // loads the plug-in and forgets an older failure
    return f.open(loc.path.c_str(), mode);
}

std::shared_ptr<avi::IFileHandler> handlerFor(avi::internal::FileBridge& keeper, const Location& loc) {
    if (loc.local) return std::make_shared<avi::LocalFileHandler>();
    return keeper.handlerFor(strutil::i18n::utf8_to_utf16(loc.path));
}

std::string whyNotOpened(const std::string& path, bool forWriting) {
    const Location loc = locate(path);
    if (!loc.local) return remoteFailure();
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

int fail(const avi::File& f, const Location& loc, bool writing, const std::string& what) {
    std::string message = loc.typed + (what.empty() ? "" : " " + what);
    if (f.getErrorCode() != avi::errors::ERR_NONE) message += ": " + errorText(f);
    const std::string why = f.getErrorCode() == avi::errors::ERR_OPEN_FAILED ? whyNotOpened(loc.typed, writing)
                            : loc.local                                      ? std::string()
                                                                             : remoteFailure();
    if (!why.empty()) message += " (" + why + ")";
    return fail(message);
}

}  // namespace avitool

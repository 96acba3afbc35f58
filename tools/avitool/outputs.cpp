#include "outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "avi/RemotePlugin.h"
#include "messages.h"
#include "salvage/salvage.h"
#include "strutil/strutil.h"

namespace fs = boost::filesystem;

namespace avitool {

// The plug-in's handler for a streamed output. It opens exclusively unless the target may be
// replaced, and its fclose leaves the upload open, so that the header can still be patched;
// finish() uploads the rest, abandon() gives it up.
class HeldUpload : public avi::IFileHandler {
public:
    HeldUpload(std::shared_ptr<avi::IFileHandler> inner, bool exclusive)
        : inner_(std::move(inner)), exclusive_(exclusive) {}
    void* fopen(std::u16string path, const char* mode) override {
        handle_ = inner_->fopen(path, exclusive_ && mode[0] == 'w' ? "wbx" : mode);
        return handle_;
    }
    std::size_t fread(void* b, std::size_t s, std::size_t n, void* h) override { return inner_->fread(b, s, n, h); }
    std::size_t fwrite(const void* b, std::size_t s, std::size_t n, void* h) override {
        return inner_->fwrite(b, s, n, h);
    }
    int fseek(void* h, std::int64_t offset, int origin) override { return inner_->fseek(h, offset, origin); }
    std::int64_t ftell(void* h) override { return inner_->ftell(h); }
    int fclose(void* h) override { return h == handle_ ? 0 : inner_->fclose(h); }
    std::uint64_t getFilePos(void* h) override { return inner_->getFilePos(h); }
    int setFilePos(void* h, std::uint64_t position) override { return inner_->setFilePos(h, position); }

    void* handle() const { return handle_; }
    bool finish() {
        void* h = handle_;
        handle_ = nullptr;
        return h != nullptr && inner_->fclose(h) == 0;
    }
    void abandon() {
        if (handle_ == nullptr) return;
        if (const auto give =
                reinterpret_cast<avi::remote_plugin::AbandonFn>(remoteEntry(avi::remote_plugin::ABANDON_ENTRY)))
            give(inner_.get(), handle_);
        else
            inner_->fclose(handle_);
        handle_ = nullptr;
    }

private:
    std::shared_ptr<avi::IFileHandler> inner_;
    bool exclusive_;
    void* handle_ = nullptr;
};

namespace {

// Whether a URL names something that can be read (an existing object); a failure to reach it
// counts as no, and the upload will say what is wrong.
bool remoteExists(const Location& loc) {
    avi::internal::FileBridge keeper;
    const auto h = handlerFor(keeper, loc);
    void* f = h ? h->fopen(strutil::i18n::utf8_to_utf16(loc.path), "rb") : nullptr;
    if (f != nullptr) h->fclose(f);
    remoteFailure();
    return f != nullptr;
}

}  // namespace

bool Output::prepare(const std::string& target, bool overwrite, bool visible, bool streamed) {
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
    if (!local && streamed) {
        keeper_.reset(new avi::internal::FileBridge);
        const auto h = handlerFor(*keeper_, loc);
        if (!h) return fail("cannot write " + shown(target_) + ": the remote plug-in is missing") == EXIT_OK;
        held_ = std::make_shared<HeldUpload>(h, !overwrite);
        writePath_ = target_;
        return true;
    }
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
    remoteFailure();
    void* to = h ? h->fopen(strutil::i18n::utf8_to_utf16(url), overwrite ? "wb" : "wbx") : nullptr;
    if (to == nullptr) {
        const std::string why = remoteFailure();
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
    const std::string why = remoteFailure();
    return !why.empty() ? why : ok ? std::string() : "cannot copy " + from + " to " + shown(url);
}

}  // namespace

bool Output::open(avi::internal::FileBridge& f) {
    if (!held_) return openFile(f, location(), "w");
    remoteFailure();
    f.useHandler(held_);
    return f.open(target_.c_str(), "w");
}

bool Output::patch(std::uint32_t rateNum, std::uint32_t rateDen, std::uint64_t audioFrames) {
    if (!held_) return salvage::patchStreamHeaders(writePath_, rateNum, rateDen, audioFrames);
    return held_->handle() != nullptr &&
           salvage::patchStreamHeaders(*held_, held_->handle(), rateNum, rateDen, audioFrames);
}

bool Output::commit() {
    if (held_) {
        if (held_->finish()) return true;
        fail("the upload failed: " + remoteFailure());
        return false;
    }
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
    if (held_) held_->abandon();
    if (temporary_) std::remove(writePath_.c_str());
    temporary_ = false;
}

}  // namespace avitool

#include "pluginkit/pluginkit.h"

#include <dlfcn.h>

#include "strutil/strutil.h"

namespace pluginkit {

bool NoOpVerificationStrategy::verify(const std::u16string&, const std::u16string&) { return true; }

PluginReference::PluginReference(std::unique_ptr<VerificationStrategy> strategy, bool keepLoaded)
    : strategy_(std::move(strategy)), keepLoaded_(keepLoaded) {}

PluginReference::~PluginReference() {
    for (void* lib : libraries_) dlclose(lib);
}

void* PluginReference::getSymbolAddress() const { return symbol_; }

bool PluginReference::load(const std::u16string& path, const std::string& symbol,
                           const std::u16string& expectedSigner) {
    symbol_ = nullptr;
    if (strategy_ && !strategy_->verify(path, expectedSigner)) {
        lastError_ = "plug-in refused by verification";
        return false;
    }
    const std::string native = strutil::filesystem::u16_to_native_path(path);
    int flags = RTLD_NOW | RTLD_LOCAL;
    if (keepLoaded_) flags |= RTLD_NODELETE;
    void* lib = dlopen(native.c_str(), flags);
    if (lib == nullptr) {
        const char* err = dlerror();
        lastError_ = err != nullptr ? err : "dlopen failed";
        return false;
    }
    libraries_.push_back(lib);
    dlerror();
    symbol_ = dlsym(lib, symbol.c_str());
    if (symbol_ == nullptr) {
        const char* err = dlerror();
        lastError_ = err != nullptr ? err : "symbol not found";
        return false;
    }
    lastError_.clear();
    return true;
}

}  // namespace pluginkit

#include "avi/RemotePlugin.h"

#include <boost/filesystem.hpp>

#include "avi/File.h"
#include "pluginkit/pluginkit.h"
#include "strutil/strutil.h"

namespace avi {
namespace {

using namespace remote_plugin;

std::u16string toU16(const std::string& path) {
    if (path.empty()) return std::u16string();
    return strutil::filesystem::codecvt_narrow_string_to_ustring(true)(path);
}

void* findEntry(pluginkit::PluginReference& ref, const std::string& pluginPath, const char* name) {
    ref.load(toU16(pluginPath), name, std::u16string());
    return ref.getSymbolAddress();
}

}  // namespace

void File::loadRemoteFileHandler() {
    namespace fs = boost::filesystem;
    const std::string root = strutil::i18n::to_string(strutil::filesystem::get_install_path());
    fs::path pluginPath = fs::canonical(fs::path(root), fs::current_path());
    pluginPath /= FOLDER;
    pluginPath /= FILE_NAME;
    const std::string pluginFile = pluginPath.string();

    // The replaced reference may have made the handler still in fileHandler, so it lives
    // until that handler has been released (below, or by the guard if an allocation
    // throws) and goes when this function returns.
    std::unique_ptr<pluginkit::PluginReference> fresh(new pluginkit::PluginReference(
        std::unique_ptr<pluginkit::VerificationStrategy>(new pluginkit::NoOpVerificationStrategy()), true));
    struct PreviousReference {
        std::shared_ptr<IFileHandler>& handler;
        std::unique_ptr<pluginkit::PluginReference> reference;
        bool handlerReplaced = false;
        ~PreviousReference() {
            if (!handlerReplaced) handler.reset();
        }
    } previous{fileHandler, std::move(pluginReference)};
    pluginReference = std::move(fresh);
    void* create = findEntry(*pluginReference, pluginFile, CREATE_ENTRY);
    void* destroy = findEntry(*pluginReference, pluginFile, DESTROY_ENTRY);
    if (create == nullptr || destroy == nullptr) {
        fileHandler.reset();
        setError(errors::ERR_OPEN_FAILED);
        return;
    }
    const auto createFn = reinterpret_cast<CreateFn>(create);
    const auto destroyFn = reinterpret_cast<DestroyFn>(destroy);
    IFileHandler* handler = createFn();
    if (handler == nullptr) {
        fileHandler.reset();
        return;
    }
    fileHandler = std::shared_ptr<IFileHandler>(handler, [destroyFn](IFileHandler* h) noexcept { destroyFn(h); });
    previous.handlerReplaced = true;
}

}  // namespace avi

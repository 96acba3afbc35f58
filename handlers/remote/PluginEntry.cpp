#include <cstring>
#include <new>
#include <string_view>

#include "Failure.h"
#include "RemoteFileHandler.h"
#include "avi/RemotePlugin.h"

#define REMOTE_PLUGIN_API extern "C" __attribute__((visibility("default")))
#define NAME_OF(f) #f

// The library looks these up by the names in avi/RemotePlugin.h.
static_assert(std::string_view(NAME_OF(createRemoteFileHandlerInstance)) == avi::remote_plugin::CREATE_ENTRY);
static_assert(std::string_view(NAME_OF(destroyRemoteFileHandlerInstance)) == avi::remote_plugin::DESTROY_ENTRY);
static_assert(std::string_view(NAME_OF(takeRemoteFileHandlerFailure)) == avi::remote_plugin::FAILURE_ENTRY);
static_assert(std::string_view(NAME_OF(abandonRemoteFileHandlerWrite)) == avi::remote_plugin::ABANDON_ENTRY);

// The two entry points the library looks up by name. The handler is deleted here, by the
// code that allocated it.
REMOTE_PLUGIN_API avi::IFileHandler* createRemoteFileHandlerInstance() {
    try {
        return new avi::remote::RemoteFileHandler();
    } catch (...) {
        return nullptr;
    }
}

REMOTE_PLUGIN_API void destroyRemoteFileHandlerInstance(avi::IFileHandler* handler) { delete handler; }

// Copies the description of the last failed request, upload or open (empty when nothing
// failed since the last call) into buffer, NUL-terminated and cut to size, and forgets it.
// Returns the description's full length. Credentials never appear in it.
REMOTE_PLUGIN_API std::size_t takeRemoteFileHandlerFailure(char* buffer, std::size_t size) {
    try {
        const std::string text = avi::remote::takeFailure();
        if (buffer != nullptr && size > 0) {
            const std::size_t n = text.size() < size ? text.size() : size - 1;
            std::memcpy(buffer, text.data(), n);
            buffer[n] = '\0';
        }
        return text.size();
    } catch (...) {
        return 0;
    }
}

// Closes a handle opened for writing without uploading it (a run that failed before it wrote
// anything worth keeping): an upload under way is aborted and the spool file removed.
REMOTE_PLUGIN_API void abandonRemoteFileHandlerWrite(avi::IFileHandler* handler, void* handle) {
    try {
        if (auto* remote = dynamic_cast<avi::remote::RemoteFileHandler*>(handler)) remote->abandon(handle);
    } catch (...) {
    }
}

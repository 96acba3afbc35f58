#include <new>

#include "RemoteFileHandler.h"

#define REMOTE_PLUGIN_API extern "C" __attribute__((visibility("default")))

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

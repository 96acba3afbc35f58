#pragma once

#include <memory>
#include <string>
#include <vector>

#define PLUGINKIT_API __attribute__((visibility("default")))

namespace pluginkit {

// Decides whether a library file may be loaded.
class PLUGINKIT_API VerificationStrategy {
public:
    virtual ~VerificationStrategy() = default;
    virtual bool verify(const std::u16string& path, const std::u16string& expectedSigner) = 0;
};

// Accepts every library.
class PLUGINKIT_API NoOpVerificationStrategy : public VerificationStrategy {
public:
    bool verify(const std::u16string& path, const std::u16string& expectedSigner) override;
};

// A loaded plug-in library and the last symbol looked up in it.
class PLUGINKIT_API PluginReference {
public:
    // keepLoaded: never unload the library, so code and objects it made (a handler
    // destroyed after its reference, libraries with global state) stay valid.
    PluginReference(std::unique_ptr<VerificationStrategy> strategy, bool keepLoaded);
    virtual ~PluginReference();
    PluginReference(const PluginReference&) = delete;
    PluginReference& operator=(const PluginReference&) = delete;

    // Address of the symbol found by the last load; null if it failed.
    virtual void* getSymbolAddress() const;

    // Loads the library at path (again, if already loaded) and looks up symbol. Returns
    // false if the file was refused, could not be loaded, or lacks the symbol.
    bool load(const std::u16string& path, const std::string& symbol, const std::u16string& expectedSigner);

    // Text of the last failure, for diagnostics.
    const std::string& lastError() const { return lastError_; }

private:
    std::unique_ptr<VerificationStrategy> strategy_;
    bool keepLoaded_;
    std::vector<void*> libraries_;
    void* symbol_ = nullptr;
    std::string lastError_;
};

}  // namespace pluginkit

#include "Failure.h"

#include <mutex>

namespace avi {
namespace remote {
namespace {

std::mutex failureLock;
std::string lastFailure;
thread_local bool muted = false;

}  // namespace

void muteFailuresOnThisThread() { muted = true; }

void recordFailure(const std::string& message) {
    if (muted) return;
    std::lock_guard<std::mutex> lock(failureLock);
    lastFailure = message;
}

std::string takeFailure() {
    std::lock_guard<std::mutex> lock(failureLock);
    std::string out;
    out.swap(lastFailure);
    return out;
}

std::string withoutCredentials(const std::string& url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    const std::size_t hostStart = scheme + 3;
    const std::size_t hostEnd = url.find_first_of("/?#", hostStart);
    const std::size_t at = url.rfind('@', hostEnd == std::string::npos ? url.size() : hostEnd);
    if (at == std::string::npos || at < hostStart) return url;
    return url.substr(0, hostStart) + url.substr(at + 1);
}

}  // namespace remote
}  // namespace avi

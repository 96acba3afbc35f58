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

}  // namespace remote
}  // namespace avi

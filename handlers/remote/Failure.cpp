#include "Failure.h"

#include <mutex>

namespace avi {
namespace remote {
namespace {

std::mutex failureLock;
std::string lastFailure;

}  // namespace

void recordFailure(const std::string& message) {
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

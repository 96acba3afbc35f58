#pragma once
// The last failure of the plug-in's handlers, in words, for a host that wants more than a
// short count or a null handle. The library itself never asks.

#include <string>

namespace avi {
namespace remote {

void recordFailure(const std::string& message);
std::string takeFailure();

}  // namespace remote
}  // namespace avi

#pragma once
// SIGINT and SIGTERM stop a run cleanly: they set stopSignal (no SA_RESTART, so a blocking
// read returns early); the loops look at it, finish what they write and return stopStatus().

#include <csignal>

namespace avitool {

extern volatile std::sig_atomic_t stopSignal;
void installSignalHandlers();
inline bool stopped() { return stopSignal != 0; }
inline int stopStatus() { return 128 + static_cast<int>(stopSignal); }

}  // namespace avitool

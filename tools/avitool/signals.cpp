#include "signals.h"

#include <cstring>

namespace avitool {

volatile std::sig_atomic_t stopSignal = 0;

namespace {
extern "C" void onStopSignal(int sig) { stopSignal = sig; }
}  // namespace

void installSignalHandlers() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a read of stdin returns at once
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace avitool

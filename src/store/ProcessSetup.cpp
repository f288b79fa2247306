#include "ProcessSetup.h"

#include <csignal>

namespace sirano {

void ignoreFileSizeLimitSignal() {
    std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace sirano

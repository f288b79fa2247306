// The browser commands (windows, capture, fill) are not built yet.
#include "Commands.h"

namespace sirano::cli {

QList<Command> browserCommands() {
    return {};
}

}  // namespace sirano::cli

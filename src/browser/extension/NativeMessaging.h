// What the companion extension, its native-messaging host (sirano-host) and the tray agree on.
// Plain C++ so that the host, started by the browser for every connection, needs no Qt.
//
// Every message is a length-prefixed UTF-8 JSON text: four bytes of length in the machine's own
// order, then the text. The browser frames it so on the host's stdin and stdout; the host and the
// tray frame it the same way on the tray's socket.
#pragma once

#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace sirano::nativemessaging {

// The host's name in the browsers' host manifests and in the extension's connectNative().
inline constexpr char kHostName[] = "org.sirano.host";
// The extension's ids, which the host manifests allow (set by the build).
inline constexpr char kFirefoxExtensionId[] = SIRANO_FIREFOX_EXTENSION_ID;
inline constexpr char kChromiumExtensionId[] = SIRANO_CHROMIUM_EXTENSION_ID;
// Chromium refuses a message to the extension over 1 MiB: the tray splits its writes below it.
inline constexpr std::uint32_t kMaxToBrowser = 1024 * 1024;
// The browser may send far more; a page's inputs are bounded by this on the way in.
inline constexpr std::uint32_t kMaxFromBrowser = 32 * 1024 * 1024;

// The folder of the tray's socket: only its owner may enter it.
inline std::string socketFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/')
        return std::string(runtime) + "/sirano";
    return "/tmp/sirano-" + std::to_string(::geteuid());
}

inline std::string socketPath() {
    return socketFolder() + "/browsers.sock";
}

}  // namespace sirano::nativemessaging

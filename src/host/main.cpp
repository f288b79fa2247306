// sirano-host: started by the browser when the companion extension connects. Relays the
// extension's messages between the browser (stdin, stdout) and the running tray program (its
// socket), after telling the tray which browser and extension started it. No tray running: says
// so to the extension and ends.
#include "browser/extension/NativeMessaging.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string>

namespace nm = sirano::nativemessaging;

namespace {

// Moves all of size bytes by op (read or write), through interruptions and short counts.
template <typename Op, typename Bytes>
bool all(Op op, int fd, Bytes* data, size_t size) {
    while (size > 0) {
        const ssize_t n = op(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool writeAll(int fd, const char* data, size_t size) {
    return all(::write, fd, data, size);
}

bool readAll(int fd, char* data, size_t size) {
    return all(::read, fd, data, size);
}

bool writeFrame(int fd, const std::string& text) {
    const auto length = static_cast<std::uint32_t>(text.size());
    char head[4];
    std::memcpy(head, &length, 4);
    return writeAll(fd, head, 4) && writeAll(fd, text.data(), text.size());
}

// One whole message from fd to out; false at the end of either side or past the bound.
bool relayFrame(int fd, int out, std::uint32_t bound, std::string& buffer) {
    char head[4];
    if (!readAll(fd, head, 4))
        return false;
    std::uint32_t length;
    std::memcpy(&length, head, 4);
    if (length > bound)
        return false;
    buffer.resize(length);
    return readAll(fd, buffer.data(), length) && writeAll(out, head, 4) &&
           writeAll(out, buffer.data(), length);
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

int connectToTray() {
    const std::string path = nm::socketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    // Chromium passes the extension's origin; Firefox the host manifest's path and the
    // extension's id.
    const std::string extension = argc > 2 ? argv[2] : argc > 1 ? argv[1] : "";
    const std::string browser = argc > 2 ? "firefox" : "chromium";

    const int tray = connectToTray();
    if (tray < 0) {
        writeFrame(STDOUT_FILENO, R"({"type":"noTray"})");
        return 0;
    }
    if (!writeFrame(tray, "{\"type\":\"host\",\"browser\":" + jsonString(browser) +
                              ",\"extension\":" + jsonString(extension) +
                              ",\"browserPid\":" + std::to_string(::getppid()) + "}"))
        return 1;

    std::string buffer;
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {tray, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (fds[0].revents != 0 && !relayFrame(STDIN_FILENO, tray, nm::kMaxFromBrowser, buffer))
            return 0;
        if (fds[1].revents != 0 && !relayFrame(tray, STDOUT_FILENO, nm::kMaxToBrowser, buffer))
            return 0;
    }
}

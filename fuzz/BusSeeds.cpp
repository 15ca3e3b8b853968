// Writes the seed corpus of the bus notification target: the bytes an sd-bus client sends for a few messages,
// as the session bus carries them to the notification center. Usage: vantorix-bus-seeds DIR
#include "platform/posix/BusMessages.h"
#include "platform/posix/SessionBusNotificationCenter.h"

#include <systemd/sd-bus.h>

#include <fstream>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

using namespace vantorix;
using Posix = posix::SessionBusNotificationCenter;

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    int fds[2];
    sd_bus* client = nullptr;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0 || sd_bus_new(&client) < 0) return 1;
    sd_bus_set_fd(client, fds[0], fds[0]);
    sd_bus_negotiate_fds(client, 0);
    if (sd_bus_start(client) < 0) return 1;
    // The server's side of the authentication: the client's lines up to BEGIN, then agreement.
    std::string lines;
    char buffer[65536];
    for (ssize_t n; lines.find("BEGIN\r\n") == std::string::npos && (n = ::read(fds[1], buffer, sizeof buffer)) > 0;) lines.append(buffer, n);
    const char agree[] = "DATA\r\nOK 5e4d0a116c2b498f9a3371c01de258b7\r\n";
    if (::write(fds[1], agree, sizeof agree - 1) != sizeof agree - 1) return 1;
    while (sd_bus_is_ready(client) <= 0) sd_bus_wait(client, 100000), sd_bus_process(client, nullptr);

    auto send = [&](const char* member, const std::function<int(sd_bus_message*)>& fill) -> std::string {
        sd_bus_message* message = nullptr;
        if (sd_bus_message_new_signal(client, &message, Posix::kObjectPath, Posix::kInterface, member) < 0 || fill(message) < 0 ||
            sd_bus_send(client, message, nullptr) < 0 || sd_bus_flush(client) < 0)
            std::exit(1);
        sd_bus_message_unref(message);
        ssize_t n = ::read(fds[1], buffer, sizeof buffer);
        return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    };
    auto tree = [&](const char* name, PropertyValue info) {
        return send(Posix::kMember, [&](sd_bus_message* m) { return posix::appendNotification(m, {name, "com.vantorix.localservice", info}); });
    };
    using D = PropertyValue::Dictionary;
    using A = PropertyValue::Array;
    std::string changed = tree("VantorixStatusChanged", D{{"paths", A{"/s/a", "/s/b"}}, {"sync_state", A{D{{"path", "/s/a"}, {"state", "3"}}, D{{"path", "/s/b"}}}}});
    std::string seeds[] = {
        changed,
        tree("VantorixSharedStatusChanged", D{{"paths", A{"/s/Shared"}}}),
        tree("VantorixReadonlyStatusChanged", D{{"paths", A{"/s/x", 7, true, 1.5, A{}, D{}}}, {"sync_state", D{}}}),
        send(Posix::kMember, [](sd_bus_message* m) {
            return sd_bus_message_append(m, "ssa{sv}", "VantorixStatusChanged", "o", 5, "paths", "ao", 1, "/s/o", "y", "y", 7, "q", "q", 9, "t", "t",
                                         UINT64_MAX, "st", "(ii)", 1, 2);
        }),
        send(Posix::kMember, [](sd_bus_message* m) { return sd_bus_message_append(m, "ssa{sv}", "VantorixStatusChanged", "o", 1, "n", "a{iv}", 1, 3, "s", "x"); }),
        send(Posix::kMember, [](sd_bus_message* m) { return sd_bus_message_append(m, "ss", "VantorixStatusChanged", "o"); }),
        send("Other", [](sd_bus_message* m) { return sd_bus_message_append(m, "s", "x"); }),
        changed + tree("VantorixStatusChanged", D{{"paths", A{}}}),
    };
    for (std::size_t i = 0; i < std::size(seeds); ++i) std::ofstream(std::string(argv[1]) + "/seed-" + std::to_string(i), std::ios::binary) << seeds[i];
    sd_bus_close_unref(client);
    return 0;
}

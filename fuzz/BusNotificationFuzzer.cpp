// Notifications from the raw bytes of session bus messages. A server-side sd-bus connection holds one end of a
// socket pair; the other end writes the peer's authentication, then the fuzzed bytes as the peer's messages, and
// closes. Each message the notification center's match rule selects is decoded as the center decodes it and put
// through the intake's acceptance rules.
#include "FuzzInput.h"
#include "PayloadRules.h"
#include "platforms/posix/BusMessages.h"

#include <systemd/sd-bus.h>

#include <sys/socket.h>
#include <unistd.h>

using namespace vantorix;

namespace {

int onNotificationSignal(sd_bus_message* message, void*, sd_bus_error*) {
    if (std::optional<Notification> notification = posix::decodeNotification(message)) fuzz::checkAcceptance(*notification);
    return 0;
}

// Writes all of the bytes, or stops the run: a short write would fuzz the socket, not the decoder.
void writeAll(int fd, std::string_view bytes) {
    FUZZ_REQUIRE(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    int fds[2];
    FUZZ_REQUIRE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) == 0);
    sd_bus* bus = nullptr;
    FUZZ_REQUIRE(sd_bus_new(&bus) >= 0 && sd_bus_set_fd(bus, fds[0], fds[0]) >= 0);
    sd_id128_t server{};
    FUZZ_REQUIRE(sd_id128_from_string("5e4d0a116c2b498f9a3371c01de258b7", &server) >= 0 && sd_bus_set_server(bus, 1, server) >= 0);
    FUZZ_REQUIRE(sd_bus_set_anonymous(bus, 1) >= 0);
    FUZZ_REQUIRE(sd_bus_add_match(bus, nullptr, posix::notificationMatchRule().c_str(), onNotificationSignal, nullptr) >= 0);
    FUZZ_REQUIRE(sd_bus_start(bus) >= 0);

    writeAll(fds[1], std::string_view("\0AUTH ANONYMOUS 66757a7a\r\nBEGIN\r\n", 33));
    writeAll(fds[1], std::string_view(reinterpret_cast<const char*>(data), size));
    ::shutdown(fds[1], SHUT_WR);
    // Everything is in the socket already: processing ends when the bytes run out or turn out malformed.
    for (int step = 0; step < 10000 && sd_bus_process(bus, nullptr) > 0; ++step) {
    }
    sd_bus_close_unref(bus);
    ::close(fds[1]);
    return 0;
}

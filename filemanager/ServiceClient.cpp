#include "ServiceClient.h"

#include "ProgramExit.h"
#include "protocol/HostLines.h"
#include "protocol/HostSocket.h"
#include "protocol/HostWire.h"

#include <nlohmann/json.hpp>
#include <systemd/sd-bus.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

namespace vantorix::finder {
namespace {

using Json = nlohmann::json;
constexpr std::chrono::seconds kAnswerWait{5};

// Reads one line (without its line feed) from a blocking socket with a receive timeout; false at its end.
bool readLine(int fd, std::string& pending, std::string& line) {
    while (true) {
        std::size_t feed = pending.find('\n');
        if (feed != std::string::npos) {
            line = pending.substr(0, feed);
            pending.erase(0, feed + 1);
            return true;
        }
        char buffer[65536];
        ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) return false;
        pending.append(buffer, static_cast<std::size_t>(got));
    }
}

bool askBusToStart(std::string& error) {
    sd_bus* bus = nullptr;
    int result = sd_bus_open_user(&bus);
    if (result < 0) {
        error = std::string("no session bus to start the service: ") + std::strerror(-result);
        return false;
    }
    sd_bus_error failure = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    result = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "StartServiceByName", &failure, &reply,
                                "su", host::kServiceBusName, 0u);
    if (result < 0) error = std::string("the session bus did not start the service: ") + (failure.message ? failure.message : std::strerror(-result));
    sd_bus_error_free(&failure);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return result >= 0;
}

}  // namespace

ServiceConnection connectToService(bool start) {
    ServiceConnection connection;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    host::HostSocket socket = host::connectHostSocket(runtime != nullptr ? runtime : "", false);
    if (socket.state == host::HostSocket::State::absent && start && askBusToStart(connection.error)) {
        socket = host::connectHostSocket(runtime, false);
    }
    if (socket.state != host::HostSocket::State::connected) {
        connection.running = socket.state != host::HostSocket::State::absent;
        if (connection.error.empty()) connection.error = socket.error;
        return connection;
    }
    timeval timeout{static_cast<time_t>(kAnswerWait.count()), 0};
    ::setsockopt(socket.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string pending, line, problem;
    nlohmann::ordered_json json;
    std::optional<host::BoundaryCall> hello;
    if (readLine(socket.fd, pending, line)) hello = host::readLine(line, json, problem);
    if (!hello || hello->call != host::Call::hello) {
        connection.error = "the service did not say hello";
    } else if (hello->protocol != host::kProtocolVersion) {
        connection.error = "the service speaks protocol " + std::to_string(hello->protocol) + ", this program " +
                           std::to_string(host::kProtocolVersion) + ": it is of another version";
    } else {
        timeout = {0, 0};
        ::setsockopt(socket.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        connection.fd = socket.fd;
        connection.hello = line + "\n" + pending;  // the hello, and whatever followed it in the same read
        return connection;
    }
    ::close(socket.fd);
    return connection;
}

int runStatus() {
    ServiceConnection service = connectToService(false);
    if (service.fd < 0) {
        if (!service.running) {
            std::printf("No Vantorix extension service runs for this user (%s).\n", service.error.c_str());
            return 3;
        }
        std::fprintf(stderr, "vantorix-finder status: %s\n", service.error.c_str());
        return 1;
    }
    timeval timeout{static_cast<time_t>(kAnswerWait.count()), 0};
    ::setsockopt(service.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string request = host::commandLine(host::CommandKind::status) + host::commandLine(host::CommandKind::quit);
    (void)!::send(service.fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string pending = service.hello.substr(service.hello.find('\n') + 1), line;
    Json hello = Json::parse(service.hello.substr(0, service.hello.find('\n')), nullptr, false);
    Json status;
    while (readLine(service.fd, pending, line)) {
        Json parsed = Json::parse(line, nullptr, false);
        if (parsed.is_object() && parsed.value("call", "") == "status") {
            status = parsed;
            break;
        }
    }
    ::close(service.fd);
    if (!status.is_object()) {
        std::fprintf(stderr, "vantorix-finder status: the service did not answer\n");
        return 1;
    }
    std::printf("Vantorix extension service: running, pid %d, version %s, protocol %d\n", hello.value("pid", 0),
                hello.value("version", std::string("?")).c_str(), hello.value("protocol", 0));
    bool waiting = status.value("waiting", true);
    std::printf("Local service: %s\n", waiting ? "not answering (waiting mode: badges removed until it answers)" : "answering");
    std::printf("Sync folder: %s\n", status["syncFolder"].is_string() ? status["syncFolder"].get<std::string>().c_str() : "not known yet");
    const Json& hosts = status["hosts"];
    // The status program is a host itself while it asks: it is not counted.
    std::size_t count = 0;
    std::string list;
    for (const auto& entry : hosts) {
        if (entry.value("pid", 0) == static_cast<int>(::getpid())) continue;
        ++count;
        char text[256];
        std::snprintf(text, sizeof text, "  %s (pid %d): %zu folder(s) shown\n", entry.value("program", std::string("?")).c_str(),
                      entry.value("pid", 0), entry.value("shownFolders", std::size_t{0}));
        list += text;
    }
    std::printf("File managers joined: %zu\n%s", count, list.c_str());
    std::printf("Folders shown: %zu\n", status["folders"].size());
    for (const auto& folder : status["folders"]) std::printf("  %s\n", folder.get<std::string>().c_str());
    std::printf("Backlog: %zu queued, %zu in flight, %zu waiting for a retry\n", status.value("queued", std::size_t{0}),
                status.value("inFlight", std::size_t{0}), status.value("retrying", std::size_t{0}));
    return 0;
}

int runJoinedTrace() {
    ServiceConnection service = connectToService(true);
    if (service.fd < 0) {
        std::fprintf(stderr, "vantorix-finder trace --join: %s\n", service.error.c_str());
        return 1;
    }
    std::fwrite(service.hello.data(), 1, service.hello.size(), stdout);
    std::fflush(stdout);
    int fd = service.fd;
    // Commands go to the service as they are read; the end of input is a quit, as in trace mode.
    std::thread commands([fd] {
        std::string line;
        while (std::getline(std::cin, line)) {
            line.push_back('\n');
            if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) < 0) return;
        }
        std::string quit = host::commandLine(host::CommandKind::quit);
        (void)!::send(fd, quit.data(), quit.size(), MSG_NOSIGNAL);
    });
    commands.detach();
    char buffer[65536];
    ssize_t got;
    while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        std::fwrite(buffer, 1, static_cast<std::size_t>(got), stdout);
        std::fflush(stdout);
    }
    session::endProgram(0);
}

}  // namespace vantorix::finder

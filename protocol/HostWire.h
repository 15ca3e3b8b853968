// The host protocol: what a file manager host and the extension say to each other. The stand-in's trace mode
// speaks it on its standard input and output; the session service speaks it on its socket, one connection per
// host; the hosts' bridge speaks it from inside a file manager.
//
// Commands, host to extension, one per line (a carriage return before the line feed is dropped):
//   show DIR          a folder is shown (observed when the extension's observed set covers it)
//   hide DIR          it is no longer shown
//   request PATH      one item's badge is wanted
//   post NAME JSON    post a distributed notification (for tests and tools, not hosts)
//   status            the extension's backlog, as one "status" line
//   wait SECONDS      read the next command that much later
//   quit              the end (on the socket: of this host's connection, never of the service)
// Blank lines and lines starting with "#" are skipped.
//
// Lines, extension to host: one JSON object per line (HostLines.h writes and reads them). On the socket only, the
// first line is the hello, which names the protocol:
//   {"t":0.0,"call":"hello","protocol":2,"program":"vantorix-finder","version":"...","pid":...}
// A host that speaks another protocol shows no badges and says so; lines of a call it does not know are
// skipped, so fields and calls can be added without a new protocol number.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vantorix::host {

// 2: the extension's repaint of a folder (its observed set emptied and put back) reaches hosts as one "refresh"
// line, the session service waiting out the repaint for all of them.
inline constexpr int kProtocolVersion = 2;
// The session bus name the service owns once its socket listens; asking the bus to start it starts the service.
inline constexpr const char* kServiceBusName = "com.vantorix.FinderSync";
inline constexpr std::string_view kHelloCall = "hello";

// $XDG_RUNTIME_DIR/vantorix (mode 0700) and the socket in it.
std::string socketFolder(std::string_view runtimeDirectory);
std::string socketPath(std::string_view runtimeDirectory);

enum class CommandKind { show, hide, request, post, status, wait, quit, none, unknown };
struct Command {
    CommandKind kind = CommandKind::none;
    std::string word;      // the command's first word, as written
    std::string argument;  // the rest of the line after the first space
};
Command parseCommand(std::string_view line);
// A command line, line feed included.
std::string commandLine(CommandKind kind, std::string_view argument = {});

// How long a `wait` command waits: its argument is a number of seconds from 0 to a day; nothing otherwise.
std::optional<std::chrono::duration<double>> waitDuration(std::string_view argument);

// Whether a command line can carry the path: it is not empty and holds no line feed or carriage return.
bool canCarryOnCommandLine(std::string_view path);

}  // namespace vantorix::host

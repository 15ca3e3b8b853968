#include "HostWire.h"

namespace vantorix::host {
namespace {

constexpr std::string_view kFileScheme = "file://";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string socketFolder(std::string_view runtimeDirectory) { return std::string(runtimeDirectory) + "/vantorix"; }

std::string socketPath(std::string_view runtimeDirectory) { return socketFolder(runtimeDirectory) + "/finder.sock"; }

Command parseCommand(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    Command command;
    std::size_t space = line.find(' ');
    command.word = std::string(line.substr(0, space));
    if (space != std::string_view::npos) command.argument = std::string(line.substr(space + 1));
    static constexpr std::pair<std::string_view, CommandKind> kWords[] = {
        {"show", CommandKind::show},     {"hide", CommandKind::hide}, {"request", CommandKind::request}, {"post", CommandKind::post},
        {"status", CommandKind::status}, {"wait", CommandKind::wait}, {"quit", CommandKind::quit},
    };
    if (command.word.empty() || command.word[0] == '#') return command;
    command.kind = CommandKind::unknown;
    for (const auto& [word, kind] : kWords) {
        if (command.word == word) command.kind = kind;
    }
    return command;
}

std::string commandLine(CommandKind kind, std::string_view argument) {
    std::string_view word;
    switch (kind) {
    case CommandKind::show: word = "show"; break;
    case CommandKind::hide: word = "hide"; break;
    case CommandKind::request: word = "request"; break;
    case CommandKind::post: word = "post"; break;
    case CommandKind::status: word = "status"; break;
    case CommandKind::wait: word = "wait"; break;
    case CommandKind::quit: word = "quit"; break;
    case CommandKind::none:
    case CommandKind::unknown: return "\n";
    }
    std::string line(word);
    if (!argument.empty()) line.append(" ").append(argument);
    line.push_back('\n');
    return line;
}

bool canCarryOnCommandLine(std::string_view path) { return !path.empty() && path.find_first_of("\n\r") == std::string_view::npos; }

std::optional<std::string> pathOfFileUrl(std::string_view url) {
    if (url.substr(0, kFileScheme.size()) != kFileScheme) return std::nullopt;
    url.remove_prefix(kFileScheme.size());
    std::size_t slash = url.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    std::string_view authority = url.substr(0, slash);
    if (!authority.empty() && authority != "localhost") return std::nullopt;
    std::string_view encoded = url.substr(slash);
    if (encoded.find_first_of("?#") != std::string_view::npos) return std::nullopt;
    std::string path;
    path.reserve(encoded.size());
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] != '%') {
            path.push_back(encoded[i]);
            continue;
        }
        int high = i + 2 < encoded.size() ? hexValue(encoded[i + 1]) : -1;
        int low = high >= 0 ? hexValue(encoded[i + 2]) : -1;
        if (low < 0) return std::nullopt;
        char byte = static_cast<char>(high * 16 + low);
        if (byte == '/' || byte == '\0') return std::nullopt;
        path.push_back(byte);
        i += 2;
    }
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace vantorix::host

#include "HostWire.h"

#include <cstdlib>

namespace vantorix::host {

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

std::optional<std::chrono::duration<double>> waitDuration(std::string_view argument) {
    std::string text(argument);
    char* end = nullptr;
    double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(seconds >= 0) || seconds > 86400) return std::nullopt;
    return std::chrono::duration<double>(seconds);
}

bool canCarryOnCommandLine(std::string_view path) { return !path.empty() && path.find_first_of("\n\r") == std::string_view::npos; }

}  // namespace vantorix::host

// `vantorix-finder trace`: the stand-in for machines. Commands on standard input, one JSON object per line on
// standard output for every call across the file manager boundary (protocol/HostWire.h).
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace vantorix::finder {

int runTrace();

// How long a `wait` command waits: its argument is a number of seconds from 0 to a day; nothing otherwise.
std::optional<std::chrono::duration<double>> waitDuration(const std::string& argument);

}  // namespace vantorix::finder

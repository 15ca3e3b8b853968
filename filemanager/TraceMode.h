// `vantorix-finder trace`: the stand-in for machines. Commands on standard input, one JSON object per line on
// standard output for every call across the file manager boundary (protocol/HostWire.h).
#pragma once

#include <optional>
#include <string>

namespace vantorix::finder {

int runTrace();

// The seconds of a `wait` command: a number from 0 to a day; nothing otherwise.
std::optional<double> waitSeconds(const std::string& argument);

}  // namespace vantorix::finder

// `vantorix-finder trace`: the stand-in for machines. Commands on standard input, one JSON object per line on
// standard output for every call across the file manager boundary (protocol/HostWire.h).
#pragma once

namespace vantorix::finder {

int runTrace();

}  // namespace vantorix::finder

// vantorix-finder: the file manager stand-in. It loads the extension as the file manager does and shows
// folders, for machines (trace) or for people (browse).
#include "TraceMode.h"

#include <cstdio>
#include <string>

namespace {

const char* kUsage =
    "usage: vantorix-finder trace\n"
    "       vantorix-finder --help\n"
    "\n"
    "trace  Loads the extension, reads commands on standard input and writes one JSON object per line on\n"
    "       standard output for every call across the file manager boundary, each with \"t\", the seconds since\n"
    "       the start. Commands, one per line:\n"
    "         show DIR          show a folder (observed when inside the extension's observed set)\n"
    "         hide DIR          stop showing it\n"
    "         request PATH      ask the extension for one item's badge\n"
    "         post NAME JSON    post a distributed notification with JSON as its user-info\n"
    "         wait SECONDS      read the next command that much later\n"
    "         quit              end (so does the end of input)\n"
    "\n"
    "The extension talks to the local service on 127.0.0.1:27835.\n";

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--help" || mode == "-h" || mode == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (mode == "trace" && argc == 2) return vantorix::finder::runTrace();
    std::fputs(kUsage, stderr);
    return 2;
}

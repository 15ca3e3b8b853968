// vantorix-finder: the file manager stand-in. It loads the extension as the file manager does and shows
// folders, for machines (trace) or for people (browse).
#include "BrowseMode.h"
#include "TraceMode.h"
#include "ServeMode.h"
#include "ServiceClient.h"

#include <cstdio>
#include <malloc.h>
#include <string>

namespace {

const char* kUsage =
    "usage: vantorix-finder browse [DIR]\n"
    "       vantorix-finder trace [--join]\n"
    "       vantorix-finder serve [--idle-exit SECONDS]\n"
    "       vantorix-finder status\n"
    "       vantorix-finder --help\n"
    "\n"
    "browse Loads the extension and shows DIR (default: the sync folder, once the extension has declared it)\n"
    "       with each entry's badge as a coloured glyph and its label, updated as badges change. Keys: Enter or\n"
    "       Right opens a folder, Left or Backspace goes up, Up and Down move, q quits. Without a terminal it\n"
    "       prints the listing once the badges have settled (no change for 1 s, or 10 s at most) and exits.\n"
    "\n"
    "trace  Loads the extension, reads commands on standard input and writes one JSON object per line on\n"
    "       standard output for every call across the file manager boundary, each with \"t\", the seconds since\n"
    "       the start. Commands, one per line:\n"
    "         show DIR          show a folder (observed when inside the extension's observed set)\n"
    "         hide DIR          stop showing it\n"
    "         request PATH      ask the extension for one item's badge\n"
    "         post NAME JSON    post a distributed notification with JSON as its user-info\n"
    "         status            write the extension's backlog as one line: {\"call\":\"status\",\"waiting\":...,\n"
    "                           \"queued\":N,\"inFlight\":N,\"retrying\":N} (paths waiting for a flush, in runs\n"
    "                           under way, waiting for a retry)\n"
    "         wait SECONDS      read the next command that much later\n"
    "         quit              end (so does the end of input)\n"
    "       With --join, the commands go to this user's running extension service (started on demand through\n"
    "       the session bus) as one more file manager, and its lines come back: the service's hello first.\n"
    "\n"
    "serve  Runs the extension once for every file manager of this user, on the socket\n"
    "       $XDG_RUNTIME_DIR/vantorix/finder.sock, which speaks the trace commands and lines to each of them. The\n"
    "       session bus starts it on demand (com.vantorix.FinderSync); it ends SECONDS after its last file manager\n"
    "       left (default 300; 0: never), or when its socket is removed or its program replaced.\n"
    "\n"
    "status Prints what the running service knows: whether the local service answers, the sync folder, the\n"
    "       file managers joined and the backlog. Exit status 3 when no service runs.\n"
    "\n"
    "The extension talks to the local service on 127.0.0.1:27835.\n";

}  // namespace

int main(int argc, char** argv) {
    // Two malloc arenas, not one per thread: the extension's short-lived workers would each keep an arena of their
    // own, and a large folder's paths, freed in one and allocated in another, would hold memory in all of them.
    mallopt(M_ARENA_MAX, 2);
    // Blocks of 128 KB and more are mapped of their own and given back whole when freed. By default the threshold
    // rises to the size of each such block freed, so the lists of a large folder (its listing, a burst of lines,
    // its paths) come from the heap after the first, and their space stays with the process once they are freed.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--help" || mode == "-h" || mode == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (mode == "trace" && argc == 2) return vantorix::finder::runTrace();
    if (mode == "trace" && argc == 3 && std::string(argv[2]) == "--join") return vantorix::finder::runJoinedTrace();
    if (mode == "serve") return vantorix::session::runServe(argc, argv);
    if (mode == "status" && argc == 2) return vantorix::finder::runStatus();
    if (mode == "browse" && argc <= 3) return vantorix::finder::runBrowse(argc == 3 ? argv[2] : "");
    std::string given;
    for (int i = 1; i < argc; ++i) given += std::string(i > 1 ? " " : "") + argv[i];
    if (given.empty()) std::fputs("vantorix-finder: a mode is needed\n", stderr);
    else std::fprintf(stderr, "vantorix-finder: unknown mode or options \"%s\"\n", given.c_str());
    std::fputs(kUsage, stderr);
    return 2;
}

#include "TraceMode.h"

#include "ProgramExit.h"
#include "HostRouter.h"
#include "ExtensionEntryPoint.h"
#include "platforms/posix/PosixPlatform.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

namespace vantorix::finder {

int runTrace() {
    auto& platform = posix::PosixPlatform::process();
    // The one host is standard output, given every line: each burst in one write, flushed at once.
    session::HostRouter router(platform, [](session::HostRouter::HostId, std::string lines) {
        std::fwrite(lines.data(), 1, lines.size(), stdout);
        std::fflush(stdout);
    });
    constexpr session::HostRouter::HostId kStandardOutput = 0;
    router.join(kStandardOutput, true);
    platform.setFinderSyncController(&router.model());

    // As the extension entry point does: the bundle's property list names the principal class.
    std::string error;
    std::shared_ptr<FinderSyncExtension> extension = extensionMain(platform, platform.resourceDirectory() + "/Info.plist", error);
    if (!extension) {
        std::fprintf(stderr, "vantorix-finder: %s\n", error.c_str());
        return 1;
    }
    router.attach(extension);

    // Standard input is read on its own thread so that the main run loop keeps running; every command runs on
    // the main thread, in order.
    std::thread reader([&platform, &router] {
        std::string line;
        while (std::getline(std::cin, line)) {
            host::Command command = host::parseCommand(line);
            if (command.kind == host::CommandKind::quit) break;
            if (command.kind == host::CommandKind::wait) {
                if (std::optional<std::chrono::duration<double>> wait = host::waitDuration(command.argument)) {
                    std::this_thread::sleep_for(*wait);
                } else {
                    std::fprintf(stderr, "vantorix-finder: wait takes a number of seconds, not \"%s\"\n", command.argument.c_str());
                }
                continue;
            }
            platform.mainQueue().async([&router, command] {
                std::string problem = router.run(kStandardOutput, command);
                if (!problem.empty()) std::fprintf(stderr, "vantorix-finder: %s\n", problem.c_str());
            });
        }
        platform.mainQueue().async([&platform] { platform.stopMainLoop(); });
    });
    platform.runMainLoop();
    reader.join();
    router.flush();
    session::endProgram(0);
}

}  // namespace vantorix::finder

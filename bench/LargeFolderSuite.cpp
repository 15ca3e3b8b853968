// vantorix-folder-bench: the large-folder suite. Per folder size, the reference service and the stand-in end
// to end (time to all badges, a window at rest), then the floors against the same service with the same paths.
// Prints the tables and the goals, and writes the run's JSON record and the plot's data.
//
// It binds 127.0.0.1:27835: run it where nothing else does (scripts/bench runs it in a private network namespace
// and session bus).
#include "Floors.h"
#include "FolderRun.h"
#include "SuiteReport.h"
#include "platforms/posix/PosixPlatform.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>

using namespace vantorix;
using namespace vantorix::bench;

namespace {

const char* kUsage =
    "usage: vantorix-folder-bench [--sizes N,N,...] [--rest SECONDS] [--results DIR] [--plot-data FILE]\n"
    "                             [--commit TEXT] [--finder PATH] [--service PATH] [--work DIR] [--through-service]\n"
    "\n"
    "Per folder size (default 1000,10000,50000,100000): the reference service on a folder of N files and the\n"
    "stand-in showing it, measured from outside: time to all badges, then a window at rest (default 30 s) with\n"
    "the stand-in's CPU, badges set, exchanges per polling pass, threads and peak RSS; then the floors against\n"
    "the same service: the bare loopback exchange of the same bytes, the client's exchange, batches of one path.\n"
    "Prints the tables and the goals; with --results, writes DIR/<date>-<cpu>[-through-service].json; with --plot-data, the data\n"
    "of the plot. With --through-service the extension runs as the session service (`vantorix-finder serve`) and\n"
    "the folder is shown through a host joined to it: the process measured is the service. The programs default to the ones beside this one. Binds 127.0.0.1:27835: run it alone there,\n"
    "e.g. unshare -rn sh -c 'ip link set lo up; dbus-run-session -- vantorix-folder-bench'.\n";

std::string besideThisProgram(const std::string& name) {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (self.parent_path() / name).string();
}

std::string cpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            std::string model = line.substr(line.find(':') + 1);
            model.erase(0, model.find_first_not_of(' '));
            return model;
        }
    }
    return "unknown";
}

std::string slug(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c))) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        else if (!out.empty() && out.back() != '-') out += '-';
    }
    while (!out.empty() && out.back() == '-') out.pop_back();
    return out;
}

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string utcNow(const char* pattern) {
    std::time_t now = std::time(nullptr);
    char text[64];
    std::strftime(text, sizeof text, pattern, std::gmtime(&now));
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    SuiteOptions options;
    options.finderProgram = besideThisProgram("vantorix-finder");
    options.serviceProgram = besideThisProgram("vantorix-localservice");
    options.workDirectory = std::filesystem::temp_directory_path().string();
    std::vector<std::size_t> sizes{1000, 10000, 50000, 100000};
    std::string resultsDirectory, plotData, commit = "unknown";
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option == "--through-service") {
            options.throughService = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "vantorix-folder-bench: %s needs a value\n%s", option.c_str(), kUsage);
            return 2;
        }
        std::string value = argv[++i];
        if (option == "--sizes") {
            sizes.clear();
            std::stringstream list(value);
            for (std::string item; std::getline(list, item, ',');) sizes.push_back(std::stoul(item));
        } else if (option == "--rest") {
            options.restSeconds = std::stod(value);
        } else if (option == "--results") {
            resultsDirectory = value;
        } else if (option == "--plot-data") {
            plotData = value;
        } else if (option == "--commit") {
            commit = value;
        } else if (option == "--finder") {
            options.finderProgram = value;
        } else if (option == "--service") {
            options.serviceProgram = value;
        } else if (option == "--work") {
            options.workDirectory = value;
        } else {
            std::fprintf(stderr, "vantorix-folder-bench: unknown option %s\n%s", option.c_str(), kUsage);
            return 2;
        }
    }

    utsname system{};
    ::uname(&system);
    nlohmann::json machine{{"date", utcNow("%Y-%m-%dT%H:%M:%SZ")},
                           {"cpu", cpuModel()},
                           {"cores", std::thread::hardware_concurrency()},
                           {"kernel", std::string(system.release)},
                           {"commit", commit},
                           {"load_before", loadAverage()},
                           {"rest_window_s", options.restSeconds}};
    std::printf("vantorix-folder-bench: %s, %u cores, load %s, commit %s\n", machine["cpu"].get<std::string>().c_str(), std::thread::hardware_concurrency(),
                machine["load_before"].get<std::string>().c_str(), commit.c_str());

    posix::PosixPlatform platform(posix::PosixPlatform::Options{"", false});
    std::vector<SizeResult> results;
    try {
        for (std::size_t entries : sizes) {
            std::printf("  %zu entries...\n", entries);
            std::fflush(stdout);
            SizeResult result;
            result.folder = runFolder(options, entries, [&](const std::vector<std::string>& paths) { result.floors = measureFloors(platform, paths); });
            results.push_back(std::move(result));
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "vantorix-folder-bench: %s\n", failure.what());
        return 1;
    }
    machine["load_after"] = loadAverage();

    printTable(results, options.throughService);
    std::vector<GoalCheck> goals = checkGoals(results, options.throughService);
    printGoals(goals);
    std::printf("\nLoad average before %s, after %s.\n", machine["load_before"].get<std::string>().c_str(), machine["load_after"].get<std::string>().c_str());

    if (!resultsDirectory.empty()) {
        std::filesystem::create_directories(resultsDirectory);
        std::string path = resultsDirectory + "/" + utcNow("%Y-%m-%d") + "-" + slug(machine["cpu"]) + (options.throughService ? "-through-service" : "") + ".json";
        std::ofstream(path) << runRecord(machine, results, goals).dump(2) << "\n";
        std::printf("Wrote %s\n", path.c_str());
    }
    if (!plotData.empty()) writePlotData(plotData, results);
    return 0;
}

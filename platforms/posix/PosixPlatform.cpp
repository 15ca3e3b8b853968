#include "PosixPlatform.h"

#include "SocketStreams.h"

#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vantorix {

Platform& Platform::processPlatform() { return posix::PosixPlatform::process(); }

namespace posix {

PosixPlatform& PosixPlatform::process() {
    // Made on first use and never destroyed: the extension object and the work it submits may outlive main().
    static auto* platform = new PosixPlatform();
    return *platform;
}

namespace {

// Drops file manager calls when the host has not set its controller.
class DetachedController final : public FinderSyncController {
public:
    void setBadgeImage(const Image&, const std::string&, const std::string&) override {}
    void setBadgeIdentifier(const std::string&, const URL&) override {}
    void setDirectoryURLs(const std::set<URL>&) override {}
};

std::string folderOfExecutable() {
    std::string buffer(4096, '\0');
    ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) return ".";
    buffer.resize(static_cast<std::size_t>(length));
    auto slash = buffer.rfind('/');
    return slash == std::string::npos ? "." : buffer.substr(0, slash);
}

const char* labelOf(QualityOfService qos) {
    switch (qos) {
    case QualityOfService::userInteractive: return "com.vantorix.global.user-interactive";
    case QualityOfService::userInitiated: return "com.vantorix.global.user-initiated";
    case QualityOfService::defaultQoS: return "com.vantorix.global.default";
    case QualityOfService::utility: return "com.vantorix.global.utility";
    case QualityOfService::background: return "com.vantorix.global.background";
    }
    return "com.vantorix.global";
}

}  // namespace

PosixPlatform::PosixPlatform() : PosixPlatform(Options{}) {}

PosixPlatform::PosixPlatform(Options options)
    : resourceDirectory_(options.resourceDirectory.empty() ? folderOfExecutable() + "/resources" : options.resourceDirectory),
      notifications_(options.useSessionBus ? std::unique_ptr<NotificationCenter>(std::make_unique<SessionBusNotificationCenter>([this](const LogEntry& entry) { log(entry.level, entry.category, entry.message, entry.fields); }))
                                           : std::make_unique<InProcessNotificationCenter>()) {
    setLogThreshold(journal_.writesNothing() ? LogLevel::error : journal_.threshold());
    for (std::size_t i = 0; i < globalQueues_.size(); ++i) {
        auto qos = static_cast<QualityOfService>(i);
        globalQueues_[i] = std::make_unique<GlobalQueue>(pool_, delays_, qos, labelOf(qos));
    }
}

// Stops what runs on its own threads, in the order that lets nothing reach a part already gone: no more
// notifications, then no more delayed hand-offs, then no more tasks.
PosixPlatform::~PosixPlatform() {
    notifications_.reset();
    delays_.stop();
    pool_.stop();
}

WallTime PosixPlatform::now() { return std::chrono::system_clock::now(); }

MonotonicTime PosixPlatform::monotonicNow() { return monotonicClockNow(); }

void PosixPlatform::sleep(Duration duration) { std::this_thread::sleep_for(duration); }

DispatchQueue& PosixPlatform::globalQueue(QualityOfService qos) { return *globalQueues_[static_cast<std::size_t>(qos)]; }

std::unique_ptr<DispatchQueue> PosixPlatform::makeSerialQueue(const std::string& label, QualityOfService qos) {
    return std::make_unique<SerialQueue>(pool_, delays_, qos, label);
}

std::unique_ptr<Semaphore> PosixPlatform::makeSemaphore(int count) { return std::make_unique<PosixSemaphore>(count); }

std::shared_ptr<Timer> PosixPlatform::scheduleTimer(Duration interval, bool repeats, TimerAction action) {
    return mainLoop_.scheduleTimer(interval, repeats, std::move(action));
}

StreamPair PosixPlatform::streamsToHost(const std::string& host, int port) { return makeSocketStreams(host, port); }

int PosixPlatform::userId() { return static_cast<int>(::geteuid()); }

DirectoryNames PosixPlatform::contentsOfDirectory(const std::string& path) { return listings_.contentsOf(path); }

std::optional<Image> PosixPlatform::imageNamed(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
    std::string file = resourceDirectory_ + "/" + name + ".png";
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return Image{name, file};
}

NotificationCenter& PosixPlatform::distributedNotificationCenter() { return *notifications_; }

FinderSyncController& PosixPlatform::finderSyncController() {
    static DetachedController detached;
    FinderSyncController* controller = controller_.load();
    return controller != nullptr ? *controller : detached;
}

}  // namespace posix
}  // namespace vantorix

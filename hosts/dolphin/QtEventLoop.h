// The bridge's event loop in Dolphin: Qt's, through timers and socket notifiers on Dolphin's main thread, and
// Qt D-Bus for asking the session bus to start the service. Nothing here blocks: a bus request is asynchronous
// and its answer is dropped once the loop is gone, and sources left at destruction go with it.
#pragma once

#include "EventLoop.h"

#include <QObject>

#include <map>

namespace vantorix::dolphin {

class QtEventLoop final : public QObject, public bridge::EventLoop {
public:
    QtEventLoop();
    ~QtEventLoop() override;

    SourceId idle(Callback callback) override;
    SourceId timeout(unsigned milliseconds, Callback callback) override;
    SourceId watch(int fd, int readiness, Callback callback) override;
    void remove(SourceId source) override;
    void startService(const std::string& busName, std::function<void(bool, const std::string&)> done) override;
    void log(LogLevel level, const std::string& message) override;

private:
    SourceId keep(QObject* source);
    // Runs a source's callback; the source goes once it returns false (or was removed meanwhile).
    void run(SourceId id, const Callback& callback);

    std::map<SourceId, QObject*> sources_;
    SourceId next_ = 1;
};

}  // namespace vantorix::dolphin

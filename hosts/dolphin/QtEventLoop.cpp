#include "QtEventLoop.h"

#include "PluginLog.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSocketNotifier>
#include <QTimer>

namespace vantorix::dolphin {

QtEventLoop::QtEventLoop() = default;

// The sources are children of the loop: they go with it, and their callbacks with them.
QtEventLoop::~QtEventLoop() = default;

QtEventLoop::SourceId QtEventLoop::keep(QObject* source) {
    SourceId id = next_++;
    sources_[id] = source;
    return id;
}

void QtEventLoop::run(SourceId id, const Callback& callback) {
    bool again = callback();
    auto found = sources_.find(id);
    if (found == sources_.end() || again) return;  // removed by the callback itself, or wanted again
    found->second->deleteLater();
    if (auto* notifier = qobject_cast<QSocketNotifier*>(found->second)) notifier->setEnabled(false);
    if (auto* timer = qobject_cast<QTimer*>(found->second)) timer->stop();
    sources_.erase(found);
}

QtEventLoop::SourceId QtEventLoop::idle(Callback callback) { return timeout(0, std::move(callback)); }

QtEventLoop::SourceId QtEventLoop::timeout(unsigned milliseconds, Callback callback) {
    auto* timer = new QTimer(this);
    timer->setInterval(static_cast<int>(milliseconds));
    SourceId id = keep(timer);
    QObject::connect(timer, &QTimer::timeout, timer, [this, id, callback = std::move(callback)] { run(id, callback); });
    timer->start();
    return id;
}

QtEventLoop::SourceId QtEventLoop::watch(int fd, int readiness, Callback callback) {
    auto type = (readiness & writable) ? QSocketNotifier::Write : QSocketNotifier::Read;
    auto* notifier = new QSocketNotifier(fd, type, this);
    SourceId id = keep(notifier);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [this, id, callback = std::move(callback)] { run(id, callback); });
    return id;
}

void QtEventLoop::remove(SourceId source) {
    auto found = sources_.find(source);
    if (found == sources_.end()) return;
    if (auto* notifier = qobject_cast<QSocketNotifier*>(found->second)) notifier->setEnabled(false);
    if (auto* timer = qobject_cast<QTimer*>(found->second)) timer->stop();
    found->second->deleteLater();
    sources_.erase(found);
}

void QtEventLoop::startService(const std::string& busName, std::function<void(bool, const std::string&)> done) {
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("StartServiceByName"));
    call << QString::fromStdString(busName) << 0u;
    // The watcher is a child of the loop: gone with it, it answers no one.
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this, [done = std::move(done)](QDBusPendingCallWatcher* finished) {
        QDBusPendingReply<unsigned> reply = *finished;
        finished->deleteLater();
        done(!reply.isError(), reply.isError() ? reply.error().message().toStdString() : std::string());
    });
}

void QtEventLoop::log(LogLevel level, const std::string& message) {
    switch (level) {
    case LogLevel::debug: qCDebug(lcPlugin, "%s", message.c_str()); break;
    case LogLevel::info: qCInfo(lcPlugin, "%s", message.c_str()); break;
    case LogLevel::warning: qCWarning(lcPlugin, "%s", message.c_str()); break;
    }
}

}  // namespace vantorix::dolphin

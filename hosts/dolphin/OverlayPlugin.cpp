#include "OverlayPlugin.h"

#include "HostBridge.h"
#include "NavigatorFolders.h"
#include "PluginLog.h"
#include "QtEventLoop.h"
#include "protocol/Paths.h"

#include <KConfig>
#include <KConfigGroup>
#include <QFile>
#include <QUrl>

#include <cstdint>
#include <exception>
#include <map>

namespace vantorix::dolphin {

Q_LOGGING_CATEGORY(lcPlugin, "vantorix.dolphin", QtWarningMsg)

namespace {

// The most items remembered outside the folders shown (items of folders expanded in the details view); the
// ones asked about longest ago are forgotten first.
constexpr std::size_t kRememberedItems = 200000;

std::string pathOf(const QUrl& url) {
    QByteArray path = QFile::encodeName(url.toLocalFile());
    while (path.size() > 1 && path.endsWith('/')) path.chop(1);
    return path.toStdString();
}

}  // namespace

// The items Dolphin asked about, by path, with the URL exactly as Dolphin gave it (overlaysChanged must name
// Dolphin's own item) and the emblem it was given.
class OverlayItems final : public bridge::HostItems {
public:
    explicit OverlayItems(OverlayPlugin& plugin) : plugin_(plugin) {}

    void remember(const std::string& path, const QUrl& url, const std::string& badge) {
        Held& held = byPath_[path];
        held.url = url;
        held.badge = badge;
        held.asked = ++asked_;
        if (byPath_.size() > kRememberedItems) forgetOldest();
    }
    // The folders shown changed: the items of folders no longer shown are no longer in view.
    void keepOnly(const std::set<std::string>& before, const std::set<std::string>& now) {
        for (auto it = byPath_.begin(); it != byPath_.end();) {
            std::string folder(parentFolder(it->first));
            if (before.count(folder) > 0 && now.count(folder) == 0) it = byPath_.erase(it);
            else ++it;
        }
    }

    bool invalidate(const std::string& path) override {
        auto found = byPath_.find(path);
        if (found == byPath_.end()) return false;
        QUrl url = found->second.url;  // Dolphin asks again from within the signal: the entry may change meanwhile
        Q_EMIT plugin_.overlaysChanged(url, QStringList());
        return true;
    }
    bool showsOtherThan(const std::string& path, const std::string& badge) const override {
        auto found = byPath_.find(path);
        return found != byPath_.end() && found->second.badge != badge;
    }
    std::vector<std::string> pathsAfter(const std::string& after, std::size_t most) const override {
        return bridge::pathsAfter(byPath_, after, most);
    }
    std::size_t size() const override { return byPath_.size(); }

private:
    void forgetOldest() {
        auto oldest = byPath_.begin();
        for (auto it = byPath_.begin(); it != byPath_.end(); ++it) {
            if (it->second.asked < oldest->second.asked) oldest = it;
        }
        byPath_.erase(oldest);
    }

    struct Held {
        QUrl url;
        std::string badge;
        std::uint64_t asked = 0;
    };
    OverlayPlugin& plugin_;
    std::map<std::string, Held> byPath_;  // ordered: the bridge walks it in slices
    std::uint64_t asked_ = 0;
};

// What the plugin runs once Dolphin asks: the loop, the items, the bridge and the folders shown.
class DolphinHost {
public:
    explicit DolphinHost(OverlayPlugin& plugin)
        : items_(plugin), bridge_(loop_, items_, bridge::BridgeSettings::fromEnvironment("dolphin")),
          folders_([this](const std::set<std::string>& folders) {
              items_.keepOnly(bridge_.shownFolders(), folders);
              bridge_.setShownFolders(folders);
          }) {}

    QStringList overlaysOf(const QUrl& url) {
        bridge::HoldMeter::Scope hold(bridge_.meter(), "getOverlays");
        std::string path = pathOf(url);
        std::string badge = bridge_.badgeFor(path);
        bridge_.emblemGiven(path, badge);
        items_.remember(path, url, badge);
        if (badge.empty()) return {};
        return {QString::fromStdString(bridge::emblemName(badge))};
    }

private:
    QtEventLoop loop_;
    OverlayItems items_;
    bridge::HostBridge bridge_;
    NavigatorFolders folders_;  // last: its first look reaches the bridge
};

OverlayPlugin::OverlayPlugin(QObject* parent)
    : KOverlayIconPlugin(parent), switchedOff_(!KConfig(QStringLiteral("vantorixrc")).group("Dolphin").readEntry("ShowOverlays", true)) {}

OverlayPlugin::~OverlayPlugin() = default;

QStringList OverlayPlugin::getOverlays(const QUrl& item) {
    if (switchedOff_ || !item.isLocalFile()) return {};
    try {
        if (!host_) host_ = std::make_unique<DolphinHost>(*this);
        return host_->overlaysOf(item);
    } catch (const std::exception& error) {
        qCWarning(lcPlugin, "an item went without its overlay: %s", error.what());
        return {};
    }
}

}  // namespace vantorix::dolphin

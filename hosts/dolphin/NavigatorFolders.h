// Which folders Dolphin's windows show. Dolphin gives plugins no list of them, but each view it shows has a
// location bar, a KUrlNavigator (KIO's public widget), whose locationUrl() is the folder the view shows and which
// says so when it changes (urlChanged). The navigators of the application's windows are found when the plugin
// starts, looked for again every second (windows, tabs and split views come and go), and followed as they
// change; a navigator that is destroyed, or hidden with its window, no longer counts.
//
// Main thread only. `changed` gets the full set of local folders shown, as paths, each time it changes.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <set>
#include <string>
#include <vector>

class KUrlNavigator;

namespace vantorix::dolphin {

class NavigatorFolders final : public QObject {
public:
    using Changed = std::function<void(const std::set<std::string>& folders)>;

    explicit NavigatorFolders(Changed changed);

    // Looks at every navigator now.
    void refresh();

private:
    Changed changed_;
    QTimer timer_;
    std::vector<QPointer<KUrlNavigator>> followed_;
    std::set<std::string> folders_;
};

}  // namespace vantorix::dolphin

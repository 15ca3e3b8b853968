#include "NavigatorFolders.h"

#include <KUrlNavigator>
#include <QApplication>
#include <QFile>
#include <QWidget>

#include <algorithm>

namespace vantorix::dolphin {
namespace {

constexpr int kLookAgainMs = 1000;

}  // namespace

NavigatorFolders::NavigatorFolders(Changed changed) : changed_(std::move(changed)) {
    timer_.setInterval(kLookAgainMs);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { refresh(); });
    timer_.start();
    refresh();
}

void NavigatorFolders::refresh() {
    std::set<std::string> folders;
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows) {
        if (!window->isVisible()) continue;
        const QList<KUrlNavigator*> navigators = window->findChildren<KUrlNavigator*>();
        for (KUrlNavigator* navigator : navigators) {
            bool known = std::any_of(followed_.begin(), followed_.end(), [&](const QPointer<KUrlNavigator>& held) { return held == navigator; });
            if (!known) {
                followed_.emplace_back(navigator);
                QObject::connect(navigator, &KUrlNavigator::urlChanged, this, [this] { refresh(); });
            }
            QUrl location = navigator->locationUrl();
            if (location.isLocalFile()) {
                QByteArray path = QFile::encodeName(location.toLocalFile());  // the file name's own bytes
                while (path.size() > 1 && path.endsWith('/')) path.chop(1);
                folders.insert(path.toStdString());
            }
        }
    }
    followed_.erase(std::remove_if(followed_.begin(), followed_.end(), [](const QPointer<KUrlNavigator>& held) { return held.isNull(); }),
                    followed_.end());
    if (folders == folders_) return;
    folders_ = std::move(folders);
    if (changed_) changed_(folders_);
}

}  // namespace vantorix::dolphin

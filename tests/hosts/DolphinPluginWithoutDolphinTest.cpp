// The Dolphin plugin without Dolphin: this test plays Dolphin. It loads vantorix-dolphin.so as Dolphin loads its
// overlay plugins (QPluginLoader, a KOverlayIconPlugin), asks it about items from Qt's event loop, asks again
// from within overlaysChanged as Dolphin does, and shows folders in a window's location bar (a KUrlNavigator,
// which the plugin follows). It runs the reference local service, in a private network namespace on a private
// session bus that starts the extension service from the build tree (with-private-session.sh), in a runtime folder
// of its own. The phases share one plugin, as a Dolphin process has one, and run in the order they are written;
// `SwitchedOff` runs in a process of its own. (The bridge under the plugin, its requests for items, the end of a
// connection and the reconnection: tests/bridge, in virtual time.)
#include "ChildProcess.h"

#include <KOverlayIconPlugin>
#include <KUrlNavigator>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPluginLoader>
#include <QUrl>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

vantorix::testing::TemporaryFolder folder("vantorix-dolphin-plugin");  // a service still running ends with it
const fs::path work = folder.path, root = work / "Vantorix", docs = root / "Docs", runtime = work / "runtime";
const fs::path trace = work / "trace.jsonl", statsFile = work / "stats.json";
KOverlayIconPlugin* plugin = nullptr;
KUrlNavigator* navigator = nullptr;
std::map<QString, QStringList> shown;  // what Dolphin would draw, by URL
std::map<QString, int> changedUrls;    // the URLs overlaysChanged named

bool spinUntil(const std::function<bool()>& done, int milliseconds) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < milliseconds) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

QUrl urlOf(const fs::path& path) { return QUrl::fromLocalFile(QFile::decodeName(path.c_str())); }

void ask(const QUrl& url) { shown[url.toString()] = plugin->getOverlays(url); }

// The overlay Dolphin would draw first for the item, or none.
QString overlayOf(const fs::path& path) { return shown[urlOf(path).toString()].value(0); }

std::size_t traced(const std::string& call, const fs::path& path) {
    std::ifstream in(trace);
    std::size_t count = 0;
    for (std::string line; std::getline(in, line);) {
        Json entry = Json::parse(line, nullptr, false);
        count += entry.is_object() && entry["call"] == call && entry["path"] == path.string() && entry["host"] == "dolphin";
    }
    return count;
}

KOverlayIconPlugin* loadPlugin() {
    QPluginLoader loader(QStringLiteral(VANTORIX_PLUGIN_PATH));
    auto* loaded = qobject_cast<KOverlayIconPlugin*>(loader.instance());
    EXPECT_NE(loaded, nullptr) << loader.errorString().toStdString();
    return loaded;
}

const std::vector<std::string> kNames{"a.txt", "C# notes.txt", "what?.txt", "100%41.txt", "Ünïcödé ✓.txt"};

TEST(DolphinPluginWithoutDolphin, OverlaysComeForTheFoldersShownAndFollowTheLocationBar) {
    plugin = loadPlugin();
    ASSERT_NE(plugin, nullptr);
    // As Dolphin does: overlaysChanged makes it ask about that very item again, at once.
    QObject::connect(plugin, &KOverlayIconPlugin::overlaysChanged, [](const QUrl& url, const QStringList&) {
        ++changedUrls[url.toString()];
        ask(url);
    });
    for (const auto& name : kNames) ask(urlOf(docs / name));  // Dolphin asks as it shows the folder: nothing is known yet
    EXPECT_EQ(overlayOf(docs / "a.txt"), QString());
    EXPECT_TRUE(spinUntil([] { return overlayOf(docs / "what?.txt") == "emblem-vantorix-error"; }, 8000)) << "the service is started once a folder is shown";
    for (const auto& name : kNames) {
        EXPECT_FALSE(overlayOf(docs / name).isEmpty()) << name;
        EXPECT_GE(changedUrls[urlOf(docs / name).toString()], 1) << "overlaysChanged names Dolphin's own URL: " << name;
    }
    EXPECT_EQ(overlayOf(docs / "C# notes.txt"), "emblem-vantorix-shared");

    // An item outside the sync folder, or not a local file, gets nothing.
    fs::path outside = work / "elsewhere.txt";
    ask(urlOf(outside));
    ask(QUrl(QStringLiteral("trash:/x.txt")));

    // A status change reaches the overlay.
    std::ofstream(root.parent_path() / "statuses") << "3 Docs/what?.txt\n7 Docs/C#*\n4 Docs/a.txt\n";
    EXPECT_TRUE(spinUntil([] { return overlayOf(docs / "a.txt") == "emblem-vantorix-exclude"; }, 3000));
    EXPECT_EQ(overlayOf(outside), QString());

    // The location bar moves to another folder: the old one is no longer observed within seconds, and moving back
    // asks about it again.
    fs::path other = root / "Other";
    navigator->setLocationUrl(urlOf(other));
    EXPECT_TRUE(spinUntil([&] { return traced("endObservingDirectory", docs) == 1 && traced("beginObservingDirectory", other) == 1; }, 2000));
    navigator->setLocationUrl(urlOf(docs));
    EXPECT_TRUE(spinUntil([&] { return traced("beginObservingDirectory", docs) == 2; }, 2000));
    // Shown again, its items are asked about again, as Dolphin does, and have their overlays from the service.
    shown.clear();
    for (const auto& name : kNames) ask(urlOf(docs / name));
    EXPECT_TRUE(spinUntil([&] { return overlayOf(docs / "a.txt") == "emblem-vantorix-exclude"; }, 3000));
    // The counters are rewritten twice a second: read until they have caught up.
    EXPECT_TRUE(spinUntil([] { return Json::parse(std::ifstream(statsFile), nullptr, false)["heldItems"] == 6; }, 2000)) << "the items of the folder shown and the outside one";
}

// Switched off in vantorixrc, the plugin answers nothing and starts no service.
TEST(DolphinPluginWithoutDolphin, SwitchedOff) {
    fs::create_directories(work / "config");
    std::ofstream(work / "config/vantorixrc") << "[Dolphin]\nShowOverlays=false\n";
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((work / "config").string()));
    plugin = loadPlugin();
    ASSERT_NE(plugin, nullptr);
    for (const auto& name : kNames) ask(urlOf(docs / name));
    spinUntil([] { return false; }, 4000);
    for (const auto& name : kNames) EXPECT_EQ(overlayOf(docs / name), QString());
    EXPECT_FALSE(fs::exists(runtime / "vantorix/finder.sock")) << "no service was started";
    EXPECT_FALSE(fs::exists(statsFile));
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (const auto& [name, value] : std::map<std::string, fs::path>{{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_RUNTIME_DIR", runtime},
             {"XDG_CONFIG_HOME", work / "empty-config"}, {"VANTORIX_TRACE", trace}, {"VANTORIX_HOST_STATS", statsFile}}) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    QApplication application(argc, argv);
    fs::create_directories(docs);
    fs::create_directories(root / "Other");
    for (const auto& name : kNames) std::ofstream(docs / name) << "x";
    std::ofstream(work / "statuses") << "3 Docs/what?.txt\n7 Docs/C#*\n";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    if (std::system(("dbus-update-activation-environment XDG_RUNTIME_DIR=" + runtime.string() + " 2>/dev/null").c_str()) != 0) {
        std::fprintf(stderr, "no session bus: skipped\n");
        return 77;
    }
    // The local service, ended with this process.
    pid_t localService = vantorix::testing::spawn({VANTORIX_LOCALSERVICE_PATH, "--root", root, "--status-file", work / "statuses"}, "/dev/stderr");
    // Dolphin's window: a location bar on the folder shown.
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    navigator = new KUrlNavigator(nullptr, urlOf(docs), &window);
    layout->addWidget(navigator);
    window.show();
    int result = RUN_ALL_TESTS();
    ::kill(localService, SIGTERM);
    ::waitpid(localService, nullptr, 0);
    return result;
}

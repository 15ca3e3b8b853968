// The module without Nautilus: this test plays GNOME Files. It loads libvantorix-nautilus.so as Nautilus does
// (GModule and the three entry points), implements the items Nautilus hands to update_file_info (NautilusFileInfo
// is a GInterface; an invalidated item is asked about again from the main loop, as Nautilus does), publishes the
// folders its windows show as org.freedesktop.FileManager1 does, and runs the reference local service. It runs in
// a private network namespace on a private session bus (in-private-network.sh). The extension program is
// garbage-then-finder.sh, which writes five lines the module must drop before the real program speaks.
//
// The phases share one module, as a Nautilus process has one, and run in the order they are written. (Windows that
// navigate, names a request line cannot carry and a real GNOME Files: gnome_files_test.sh.)
#include <gio/gio.h>
#include <glib-object.h>
#include <glib.h>
#include <gmodule.h>
extern "C" {
#include <nautilus-extension.h>
}

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

NautilusInfoProvider* provider = nullptr;

// --- An item as GNOME Files holds it ---

struct FakeItem {
    GObject parent;
    GFile* location;
    std::vector<std::string>* emblems;  // what the last asking added
    int asked;
};
struct FakeItemClass {
    GObjectClass parent;
};

void fake_item_file_info_init(NautilusFileInfoInterface* iface);
G_DEFINE_TYPE_WITH_CODE(FakeItem, fake_item, G_TYPE_OBJECT, G_IMPLEMENT_INTERFACE(NAUTILUS_TYPE_FILE_INFO, fake_item_file_info_init))

void fake_item_init(FakeItem* item) {
    item->emblems = new std::vector<std::string>();
}

void fake_item_finalize(GObject* object) {
    auto* item = reinterpret_cast<FakeItem*>(object);
    g_object_unref(item->location);
    delete item->emblems;
    G_OBJECT_CLASS(fake_item_parent_class)->finalize(object);
}

void fake_item_class_init(FakeItemClass* klass) { G_OBJECT_CLASS(klass)->finalize = fake_item_finalize; }

void ask(FakeItem* item) {
    if (provider == nullptr) return;  // the module is gone: GNOME Files asks no one
    item->emblems->clear();
    ++item->asked;
    static GClosure* neverCalled = g_cclosure_new(G_CALLBACK(+[] { ADD_FAILURE() << "the module answered later"; }), nullptr, nullptr);
    NautilusOperationHandle* handle = nullptr;
    EXPECT_EQ(nautilus_info_provider_update_file_info(provider, NAUTILUS_FILE_INFO(item), neverCalled, &handle), NAUTILUS_OPERATION_COMPLETE);
}

gboolean askAgain(gpointer data) {
    ask(static_cast<FakeItem*>(data));
    return G_SOURCE_REMOVE;
}

void fake_item_file_info_init(NautilusFileInfoInterface* iface) {
    iface->get_location = [](NautilusFileInfo* info) { return G_FILE(g_object_ref(reinterpret_cast<FakeItem*>(info)->location)); };
    iface->add_emblem = [](NautilusFileInfo* info, const char* name) { reinterpret_cast<FakeItem*>(info)->emblems->push_back(name); };
    iface->invalidate_extension_info = [](NautilusFileInfo* info) { g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, askAgain, g_object_ref(info), g_object_unref); };
}

// --- The windows' locations, published as GNOME Files publishes them ---

class FileManagerName {
public:
    explicit FileManagerName(GDBusConnection* bus) : bus_(bus) {
        GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(
            "<node><interface name='org.freedesktop.FileManager1'><property name='OpenWindowsWithLocations' type='a{sas}' access='read'/>"
            "</interface></node>",
            nullptr);
        static const GDBusInterfaceVTable vtable{nullptr, getProperty, nullptr, {}};
        g_dbus_connection_register_object(bus, "/org/freedesktop/FileManager1", node->interfaces[0], &vtable, this, nullptr, nullptr);
        g_dbus_node_info_unref(node);
        GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                                                      g_variant_new("(su)", "org.freedesktop.FileManager1", 4u), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
        EXPECT_NE(reply, nullptr);
        if (reply) g_variant_unref(reply);
    }

    void show(const std::vector<std::string>& folders) {
        uris_.clear();
        for (const auto& folder : folders) uris_.push_back(fileUri(folder));
        GVariantBuilder changed;
        g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&changed, "{sv}", "OpenWindowsWithLocations", locations());
        g_dbus_connection_emit_signal(bus_, nullptr, "/org/freedesktop/FileManager1", "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                      g_variant_new("(sa{sv}as)", "org.freedesktop.FileManager1", &changed, nullptr), nullptr);
    }

    static std::string fileUri(const std::string& path) {
        gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
        std::string text = uri;
        g_free(uri);
        return text;
    }

private:
    // One window per folder, as after ShowFolders.
    GVariant* locations() const {
        GVariantBuilder windows;
        g_variant_builder_init(&windows, G_VARIANT_TYPE("a{sas}"));
        for (std::size_t i = 0; i < uris_.size(); ++i) {
            const char* uri = uris_[i].c_str();
            g_variant_builder_add(&windows, "{s@as}", ("/org/gnome/Nautilus/window/" + std::to_string(i + 1)).c_str(), g_variant_new_strv(&uri, 1));
        }
        return g_variant_builder_end(&windows);
    }
    static GVariant* getProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GError**, gpointer self) {
        return static_cast<FileManagerName*>(self)->locations();
    }

    GDBusConnection* bus_;
    std::vector<std::string> uris_;
};

// --- The session: folders, the local service, the module ---

struct Session {
    fs::path work, root, outside, rules, trace, stats;
    GDBusConnection* bus = nullptr;
    FileManagerName* fileManager = nullptr;
    GPid service = 0;
    GModule* module = nullptr;
    GTypeModule* typeModule = nullptr;
    std::map<std::string, FakeItem*> items;
    std::size_t threadsBeforeLoad = 0;
} session;

void spin(double seconds) {
    gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * G_USEC_PER_SEC);
    while (g_get_monotonic_time() < end) {
        if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
    }
}

// Runs the main loop until `done` holds or `seconds` pass; returns the seconds it took, or -1.
double spinUntil(const std::function<bool()>& done, double seconds) {
    gint64 start = g_get_monotonic_time();
    while (!done()) {
        if (g_get_monotonic_time() - start > static_cast<gint64>(seconds * G_USEC_PER_SEC)) return -1;
        if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
    }
    return static_cast<double>(g_get_monotonic_time() - start) / G_USEC_PER_SEC;
}

Json readJson(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    Json value = Json::parse(text.str(), nullptr, false);
    return value.is_discarded() ? Json::object() : value;
}

Json stats() { return readJson(session.stats); }

std::vector<Json> traceCalls(const std::string& call, const std::string& path = "") {
    std::vector<Json> calls;
    std::ifstream in(session.trace);
    std::string line;
    while (std::getline(in, line)) {
        Json value = Json::parse(line, nullptr, false);
        if (value.is_object() && value["call"] == call && (path.empty() || value.value("path", "") == path)) calls.push_back(value);
    }
    return calls;
}

FakeItem* item(const std::string& relative) {
    auto& held = session.items[relative];
    if (held == nullptr) {
        held = static_cast<FakeItem*>(g_object_new(fake_item_get_type(), nullptr));
        fs::path path = relative[0] == '/' ? fs::path(relative) : session.root / relative;
        held->location = g_file_new_for_path(path.c_str());
    }
    return held;
}

std::string emblemOf(const std::string& relative) {
    FakeItem* held = item(relative);
    return held->emblems->empty() ? "" : held->emblems->back();
}

void writeRules(const std::string& rules) {
    std::ofstream(session.rules) << rules;
}

void startService() {
    std::string root = session.root.string(), rules = session.rules.string();
    const gchar* argv[] = {VANTORIX_LOCALSERVICE_PATH, "--root", root.c_str(), "--status-file", rules.c_str(), nullptr};
    ASSERT_TRUE(g_spawn_async(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &session.service, nullptr));
    g_child_watch_add(session.service, [](GPid pid, gint, gpointer) { g_spawn_close_pid(pid); }, nullptr);
}

void stopService() {
    ::kill(session.service, SIGTERM);
    session.service = 0;
}

std::size_t threadCount() {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
}

// The processes whose parent is this one.
std::vector<int> children() {
    std::vector<int> pids;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        if (!std::getline(stat, text)) continue;
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string state;
        int parent = 0;
        fields >> state >> parent;
        if (parent == ::getpid() && state != "Z") pids.push_back(std::stoi(entry.path().filename()));
    }
    return pids;
}

using Initialize = void (*)(GTypeModule*);
using Shutdown = void (*)();
using ListTypes = void (*)(const GType**, int*);

struct TestTypeModule {
    GTypeModule parent;
};
struct TestTypeModuleClass {
    GTypeModuleClass parent;
};
G_DEFINE_TYPE(TestTypeModule, test_type_module, G_TYPE_TYPE_MODULE)
void test_type_module_init(TestTypeModule*) {}
void test_type_module_class_init(TestTypeModuleClass* klass) {
    G_TYPE_MODULE_CLASS(klass)->load = [](GTypeModule*) -> gboolean { return TRUE; };
    G_TYPE_MODULE_CLASS(klass)->unload = [](GTypeModule*) {};
}

template <typename Function>
Function entryPoint(const char* name) {
    gpointer symbol = nullptr;
    EXPECT_TRUE(g_module_symbol(session.module, name, &symbol)) << name;
    return reinterpret_cast<Function>(symbol);
}

void loadModule() {
    session.threadsBeforeLoad = threadCount();
    session.module = g_module_open(VANTORIX_MODULE_PATH, G_MODULE_BIND_LOCAL);
    ASSERT_NE(session.module, nullptr) << g_module_error();
    session.typeModule = G_TYPE_MODULE(g_object_new(test_type_module_get_type(), nullptr));
    g_type_module_use(session.typeModule);
    entryPoint<Initialize>("nautilus_module_initialize")(session.typeModule);
    const GType* types = nullptr;
    int count = 0;
    entryPoint<ListTypes>("nautilus_module_list_types")(&types, &count);
    ASSERT_EQ(count, 1);
    ASSERT_TRUE(g_type_is_a(types[0], NAUTILUS_TYPE_INFO_PROVIDER));
    provider = NAUTILUS_INFO_PROVIDER(g_object_new(types[0], nullptr));
}

const std::vector<std::string> kRootItems{"a.txt", "b.txt", "folder", "pipe|name.txt"};
const std::string kInitialRules = "3 b.txt\n7 folder\n";

// Every item of the root with the emblem its rule gives (a.txt as `aBadge`).
bool rootSettled(const std::string& aBadge) {
    return emblemOf("a.txt") == "emblem-vantorix-" + aBadge && emblemOf("b.txt") == "emblem-vantorix-error" &&
           emblemOf("folder") == "emblem-vantorix-shared";
}

bool rootBare() { return emblemOf("a.txt").empty() && emblemOf("b.txt").empty() && emblemOf("folder").empty(); }

void askAboutRoot() {
    for (const auto& name : kRootItems) ask(item(name));
}

// --- The phases ---

TEST(ModuleWithoutNautilus, EveryShownItemGetsItsEmblem) {
    loadModule();
    session.fileManager->show({session.root});
    askAboutRoot();  // GNOME Files asks as soon as it shows the folder: nothing is known yet
    EXPECT_TRUE(rootBare());
    double took = spinUntil([] { return rootSettled("success"); }, 5);
    EXPECT_GE(took, 0) << "a: " << emblemOf("a.txt") << ", b: " << emblemOf("b.txt") << ", folder: " << emblemOf("folder");
    std::printf("[ figures  ] emblems on every item %.3f s after the folder was shown (extension process starting)\n", took);
    EXPECT_EQ(traceCalls("beginObservingDirectory", session.root).size(), 1u);
}

TEST(ModuleWithoutNautilus, ItemsOutsideTheObservedSetGetNothing) {
    FakeItem* outsider = item((session.outside / "x.txt").string());
    std::uint64_t requests = stats()["requestsSent"];
    ask(outsider);
    spin(1.5);
    EXPECT_TRUE(outsider->emblems->empty());
    EXPECT_EQ(outsider->asked, 1);
    EXPECT_EQ(stats()["requestsSent"], requests);
    EXPECT_TRUE(traceCalls("requestBadgeIdentifier", (session.outside / "x.txt").string()).empty());
}

TEST(ModuleWithoutNautilus, AnItemOfAFolderNotShownIsRequestedOnce) {
    // As the list view shows a folder's entries when it is expanded: the folder itself is not a location.
    std::string inner = (session.root / "folder" / "inner.txt").string();
    ask(item("folder/inner.txt"));
    EXPECT_GE(spinUntil([] { return emblemOf("folder/inner.txt") == "emblem-vantorix-success"; }, 3), 0);
    spin(1.5);  // the invalidation that brought the emblem made GNOME Files ask again
    EXPECT_GE(item("folder/inner.txt")->asked, 2);
    EXPECT_EQ(traceCalls("requestBadgeIdentifier", inner).size(), 1u);
}

TEST(ModuleWithoutNautilus, AStatusChangeReachesTheEmblem) {
    writeRules(kInitialRules + "4 a.txt\n");
    double took = spinUntil([] { return emblemOf("a.txt") == "emblem-vantorix-exclude"; }, 3);
    EXPECT_GE(took, 0) << emblemOf("a.txt");
    std::printf("[ figures  ] a status change reached the emblem in %.3f s\n", took);
}

TEST(ModuleWithoutNautilus, NothingChangingMeansNoRequestsAndNoAsking) {
    // Ten seconds after it starts, the extension finds the service and repaints (empties the observed set and
    // puts it back): the quiet time is after that.
    auto repainted = [] {
        for (const auto& call : traceCalls("setDirectoryURLs")) {
            if (call["urls"].empty()) return true;
        }
        return false;
    };
    ASSERT_GE(spinUntil(repainted, 12), 0);
    spin(1.5);
    EXPECT_TRUE(rootSettled("exclude")) << "a repaint takes no emblem away";
    std::uint64_t requests = stats()["requestsSent"];
    std::size_t traced = traceCalls("requestBadgeIdentifier").size(), set = traceCalls("setBadgeIdentifier").size();
    int asked = item("a.txt")->asked + item("b.txt")->asked + item("folder")->asked;
    spin(5);  // several polling passes of the extension
    EXPECT_EQ(stats()["requestsSent"], requests);
    EXPECT_EQ(traceCalls("requestBadgeIdentifier").size(), traced);
    EXPECT_EQ(traceCalls("setBadgeIdentifier").size(), set);
    EXPECT_EQ(item("a.txt")->asked + item("b.txt")->asked + item("folder")->asked, asked);
}

TEST(ModuleWithoutNautilus, TheServiceGoneTakesTheEmblemsAndBringsThemBack) {
    stopService();
    double removed = spinUntil(rootBare, 3);
    EXPECT_GE(removed, 0);
    startService();
    double restored = spinUntil([] { return rootSettled("exclude"); }, 6);
    EXPECT_GE(restored, 0);
    std::printf("[ figures  ] service stopped: emblems gone in %.3f s; restarted: back in %.3f s\n", removed, restored);
}

TEST(ModuleWithoutNautilus, AKilledExtensionProcessIsReplaced) {
    Json before = stats();
    int pid = before["extensionPid"];
    ASSERT_GT(pid, 0);
    ::kill(pid, SIGKILL);
    EXPECT_GE(spinUntil(rootBare, 2), 0) << "badges of a dead extension are not shown";
    double back = spinUntil([] { return rootSettled("exclude"); }, 6);
    EXPECT_GE(back, 0);
    std::printf("[ figures  ] extension process killed: emblems back in %.3f s\n", back);
    EXPECT_EQ(stats()["extensionStarts"], before["extensionStarts"].get<int>() + 1);
    EXPECT_NE(stats()["extensionPid"], pid);
}

TEST(ModuleWithoutNautilus, GarbageFromTheExtensionProcessIsDropped) {
    Json now = stats();
    // Five lines per start of garbage-then-finder.sh, and nothing the real program writes.
    EXPECT_EQ(now["linesDropped"], 5 * now["extensionStarts"].get<int>());
    EXPECT_LT(now["longestHoldMs"].get<double>(), 20.0) << now["longestHoldIn"];
}

TEST(ModuleWithoutNautilus, ShutdownEndsEverythingTheModuleStarted) {
    int extension = stats()["extensionPid"];
    g_object_unref(provider);
    provider = nullptr;
    entryPoint<Shutdown>("nautilus_module_shutdown")();
    EXPECT_NE(::kill(extension, 0), 0) << "the extension process outlived the module";
    EXPECT_EQ(children(), std::vector<int>{session.service});
    EXPECT_EQ(threadCount(), session.threadsBeforeLoad);
    // Nothing of the module is left on the main context: with its code unmapped, any callback left would crash.
    auto traceSize = fs::file_size(session.trace);
    EXPECT_TRUE(g_module_close(session.module));
    spin(1.5);
    EXPECT_EQ(fs::file_size(session.trace), traceSize);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!g_module_supported()) return 77;
    g_setenv("GIO_USE_VFS", "local", TRUE);
    session.bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (session.bus == nullptr) {
        std::fprintf(stderr, "no session bus: skipped\n");
        return 77;
    }
    char pattern[] = "/tmp/vantorix-nautilus-module.XXXXXX";
    session.work = g_mkdtemp(pattern);
    session.root = session.work / "Vantorix";
    session.outside = session.work / "Elsewhere";
    session.rules = session.work / "statuses";
    session.trace = session.work / "trace.jsonl";
    session.stats = session.work / "stats.json";
    fs::create_directories(session.root / "folder");
    fs::create_directories(session.outside);
    for (const char* name : {"a.txt", "b.txt", "pipe|name.txt", "folder/inner.txt", "folder/new\nline.txt"}) std::ofstream(session.root / name) << name;
    std::ofstream(session.outside / "x.txt") << "x";
    writeRules(kInitialRules);
    g_setenv("VANTORIX_EXTENSION_PROGRAM", VANTORIX_GARBAGE_WRAPPER, TRUE);
    g_setenv("VANTORIX_REAL_FINDER", VANTORIX_FINDER_PATH, TRUE);
    g_setenv("VANTORIX_TRACE", session.trace.c_str(), TRUE);
    g_setenv("VANTORIX_NAUTILUS_STATS", session.stats.c_str(), TRUE);
    session.fileManager = new FileManagerName(session.bus);
    startService();
    int result = RUN_ALL_TESTS();
    if (session.service != 0) stopService();
    std::error_code ignored;
    if (!getenv("VANTORIX_KEEP")) fs::remove_all(session.work, ignored);
    return result;
}

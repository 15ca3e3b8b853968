// The module without Nautilus: this test plays GNOME Files. It loads libvantorix-nautilus.so as Nautilus does
// (GModule and the three entry points), implements the items Nautilus hands to update_file_info (NautilusFileInfo
// is a GInterface; an invalidated item is asked about again from the main loop, as Nautilus does), publishes its
// windows' folders as GNOME Files does on its own bus connection (first none, as in a process that only serves
// other applications' file dialogs, then one window showing the sync folder), while another file manager owns the
// name org.freedesktop.FileManager1 with windows of its own, and runs the reference local service. It runs in a
// private network namespace on a private session bus that starts the extension service from the build tree
// (with-private-session.sh), in a runtime folder of its own.
//
// The phases share one module, as a Nautilus process has one, and run in the order they are written. (Windows that
// navigate, names a request line cannot carry and a real GNOME Files: gnome_files_test.sh. The bridge under the
// module, its hello, back-off, repaint debounce, garbage lines and the items it requests: tests/bridge, in virtual
// time.)
#include <gio/gio.h>
#include <gmodule.h>
#include <nautilus-extension.h>  // its entry points lack C linkage for C++: they are looked up with GModule, never called by name

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

// The test's folder: the sync folder, a folder outside it, the service's status rules, the module's trace and counters.
char workPattern[] = "/tmp/vantorix-nautilus-module.XXXXXX";
const fs::path work = g_mkdtemp(workPattern), root = work / "Vantorix", outside = work / "Elsewhere", rules = work / "statuses";
const fs::path runtime = work / "runtime";
const fs::path trace = work / "trace.jsonl", statsFile = work / "stats.json";
GPid service = 0;
GDBusConnection* bus = nullptr;
std::string ownWindow;  // the folder this process's one window shows; none while empty
GModule* module = nullptr;
NautilusInfoProvider* provider = nullptr;
std::size_t threadsBeforeLoad = 0;

// --- An item as GNOME Files holds it ---

struct Item {
    std::string path;
    std::string emblems;  // the names the last asking added, one after the other
    GObject* object = nullptr;
};
// The object GNOME Files hands over: a plain GObject with the file-info interface, its Item in its data.
using FakeItem = GObject;
using FakeItemClass = GObjectClass;
void fake_item_file_info_init(NautilusFileInfoInterface* iface);
G_DEFINE_TYPE_WITH_CODE(FakeItem, fake_item, G_TYPE_OBJECT, G_IMPLEMENT_INTERFACE(NAUTILUS_TYPE_FILE_INFO, fake_item_file_info_init))
void fake_item_init(FakeItem*) {}
void fake_item_class_init(FakeItemClass*) {}
Item& itemOf(NautilusFileInfo* info) { return *static_cast<Item*>(g_object_get_data(G_OBJECT(info), "item")); }

void ask(Item& item) {
    if (provider == nullptr) return;  // the module is gone: GNOME Files asks no one
    item.emblems.clear();
    static GClosure* neverCalled = g_cclosure_new(G_CALLBACK(+[] { ADD_FAILURE() << "the module answered later"; }), nullptr, nullptr);
    NautilusOperationHandle* handle = nullptr;
    EXPECT_EQ(nautilus_info_provider_update_file_info(provider, NAUTILUS_FILE_INFO(item.object), neverCalled, &handle), NAUTILUS_OPERATION_COMPLETE);
}

void fake_item_file_info_init(NautilusFileInfoInterface* iface) {
    iface->get_location = [](NautilusFileInfo* info) { return g_file_new_for_path(itemOf(info).path.c_str()); };
    iface->add_emblem = [](NautilusFileInfo* info, const char* name) { itemOf(info).emblems += name; };
    iface->invalidate_extension_info = [](NautilusFileInfo* info) {
        g_idle_add([](gpointer item) { ask(*static_cast<Item*>(item)); return G_SOURCE_REMOVE; }, &itemOf(info));
    };
}

// The item at a path relative to the root, or absolute; held for the whole test, as GNOME Files holds what it shows.
Item& item(const std::string& name) {
    static std::map<std::string, Item> items;
    Item& held = items[name];
    if (held.object == nullptr) {
        held.path = name[0] == '/' ? name : (root / name).string();
        held.object = G_OBJECT(g_object_new(fake_item_get_type(), nullptr));
        g_object_set_data(held.object, "item", &held);
    }
    return held;
}

const std::vector<std::string> kRootItems{"a.txt", "b.txt", "folder"};
const std::string kRules = "3 b.txt\n7 folder\n";
const std::string kNoEmblems = ";;;";

std::string rootEmblems() {
    std::string all;
    for (const auto& name : kRootItems) all += item(name).emblems + ";";
    return all;
}

// The root's emblems once settled, with a.txt's badge `a`.
std::string settled(const std::string& a) { return "emblem-vantorix-" + a + ";emblem-vantorix-error;emblem-vantorix-shared;"; }

// --- GNOME Files' surroundings: its window on the bus, the main loop, the module's records, the processes ---

// A file manager's windows, as GNOME Files publishes them: one window showing `folder`, or none while it is empty.
GVariant* windows(const std::string& folder) {
    if (folder.empty()) return g_variant_new_parsed("@a{sas} {}");
    return g_variant_new_parsed("{'/org/gnome/Nautilus/window/1': [%s]}", ("file://" + folder).c_str());
}

// Publishes on `connection` the windows of the folder `*folder` names, whenever asked.
void publishWindows(GDBusConnection* connection, const std::string* folder) {
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml("<node><interface name='org.freedesktop.FileManager1'><property "
                                                                 "name='OpenWindowsWithLocations' type='a{sas}' access='read'/></interface></node>", nullptr);
    static const GDBusInterfaceVTable vtable{nullptr, [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GError**, gpointer folder) {
        return windows(*static_cast<const std::string*>(folder));
    }, nullptr, {}};
    EXPECT_NE(g_dbus_connection_register_object(connection, "/org/freedesktop/FileManager1", node->interfaces[0], &vtable, const_cast<std::string*>(folder), nullptr, nullptr), 0u);
}

// This process's window shows `folder` now, and says so as GNOME Files does: PropertiesChanged.
void showInWindow(const fs::path& folder) {
    ownWindow = folder;
    GVariantBuilder changed;
    g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&changed, "{sv}", "OpenWindowsWithLocations", windows(ownWindow));
    const gchar* none[] = {nullptr};
    EXPECT_TRUE(g_dbus_connection_emit_signal(bus, nullptr, "/org/freedesktop/FileManager1", "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                              g_variant_new("(sa{sv}^as)", "org.freedesktop.FileManager1", &changed, none), nullptr));
}

// Runs the main loop until `done` holds or `seconds` pass; whether it holds.
bool spinUntil(const std::function<bool()>& done, double seconds) {
    gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * G_USEC_PER_SEC);
    while (!done() && g_get_monotonic_time() < end) {
        if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
    }
    return done();
}

void spin(double seconds) { spinUntil([] { return false; }, seconds); }

Json stats() { return Json::parse(std::ifstream(statsFile), nullptr, false); }

// How many boundary calls of this kind the trace holds (with `key` equal to `value`, when a key is given).
std::size_t traced(const std::string& call, const char* key = nullptr, const Json& value = nullptr) {
    std::ifstream in(trace);
    std::size_t count = 0;
    for (std::string line; std::getline(in, line);) {
        Json entry = Json::parse(line, nullptr, false);
        if (entry.is_object() && entry["call"] == call && (key == nullptr || entry[key] == value)) ++count;
    }
    return count;
}

std::size_t threadCount() { return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator())); }

gpointer entryPoint(const char* name) {
    gpointer symbol = nullptr;
    EXPECT_TRUE(g_module_symbol(module, name, &symbol)) << name;
    return symbol;
}

// The type module GNOME Files hands to the entry points; the library is already loaded with GModule here.
using LoadedModule = GTypeModule;
using LoadedModuleClass = GTypeModuleClass;
G_DEFINE_TYPE(LoadedModule, loaded_module, G_TYPE_TYPE_MODULE)
void loaded_module_init(LoadedModule*) {}
void loaded_module_class_init(LoadedModuleClass* klass) {
    klass->load = [](GTypeModule*) -> gboolean { return TRUE; };
    klass->unload = [](GTypeModule*) {};
}

void loadModule() {
    threadsBeforeLoad = threadCount();
    module = g_module_open(VANTORIX_MODULE_PATH, G_MODULE_BIND_LOCAL);
    ASSERT_NE(module, nullptr) << g_module_error();
    auto* typeModule = G_TYPE_MODULE(g_object_new(loaded_module_get_type(), nullptr));
    g_type_module_use(typeModule);
    reinterpret_cast<void (*)(GTypeModule*)>(entryPoint("nautilus_module_initialize"))(typeModule);
    const GType* types = nullptr;
    int count = 0;
    reinterpret_cast<void (*)(const GType**, int*)>(entryPoint("nautilus_module_list_types"))(&types, &count);
    ASSERT_EQ(count, 1);
    ASSERT_TRUE(g_type_is_a(types[0], NAUTILUS_TYPE_INFO_PROVIDER));
    provider = NAUTILUS_INFO_PROVIDER(g_object_new(types[0], nullptr));
}

// --- The phases ---

// GNOME Files serves other applications' file dialogs, which are not among its windows: asked about items while
// no window shows a folder, the module neither starts the service nor connects to it.
TEST(ModuleWithoutNautilus, AProcessShowingNoFolderNeitherStartsNorJoinsTheService) {
    loadModule();
    for (const auto& name : kRootItems) ask(item(name));
    EXPECT_TRUE(spinUntil([] { return stats().is_object() && stats()["itemsAsked"] >= 3; }, 3)) << "the counters are written twice a second";
    spin(2);
    EXPECT_EQ(stats()["connections"], 0);
    EXPECT_FALSE(fs::exists(runtime / "vantorix/finder.sock")) << "no service was started";
    EXPECT_EQ(rootEmblems(), kNoEmblems);
}

TEST(ModuleWithoutNautilus, EmblemsComeForTheFolderAWindowShows) {
    showInWindow(root);
    for (const auto& name : kRootItems) ask(item(name));  // GNOME Files asks as soon as it shows the folder: nothing is known yet
    EXPECT_EQ(rootEmblems(), kNoEmblems);
    EXPECT_TRUE(spinUntil([] { return rootEmblems() == settled("success"); }, 5)) << rootEmblems();
    EXPECT_EQ(traced("beginObservingDirectory", "path", root.string()), 1u);
    EXPECT_EQ(stats()["shownFolders"], 1) << "the window of the file manager that owns the name is not this process's";
    // A status change reaches the emblem.
    std::ofstream(rules) << kRules << "4 a.txt\n";
    EXPECT_TRUE(spinUntil([] { return rootEmblems() == settled("exclude"); }, 3)) << rootEmblems();
}

// The module starts no process of its own and leaves nothing behind when it shuts down.
TEST(ModuleWithoutNautilus, ShutdownEndsEverythingTheModuleStarted) {
    g_object_unref(provider);
    provider = nullptr;
    reinterpret_cast<void (*)()>(entryPoint("nautilus_module_shutdown"))();
    ::kill(service, SIGTERM);
    ::waitpid(service, nullptr, 0);
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "the module started a process of its own";
    // GLib's shared worker threads, which the module's GLib calls may have woken, go after 15 s idle. The main
    // context is not run meanwhile: what the module left on it is for the check below.
    for (gint64 end = g_get_monotonic_time() + 20 * G_USEC_PER_SEC; threadCount() != threadsBeforeLoad && g_get_monotonic_time() < end;) g_usleep(10000);
    EXPECT_EQ(threadCount(), threadsBeforeLoad);
    // Nothing of the module is left on the main context: with its code unmapped, any callback left would crash.
    auto traceSize = fs::file_size(trace);
    EXPECT_TRUE(g_module_close(module));
    spin(1.5);
    EXPECT_EQ(fs::file_size(trace), traceSize);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    g_setenv("GIO_USE_VFS", "local", TRUE);
    bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!g_module_supported() || bus == nullptr) {
        g_printerr("no modules or no session bus: skipped\n");
        fs::remove(work);
        return 77;
    }
    for (const auto& folder : {root / "folder", outside}) fs::create_directories(folder);
    for (const auto& file : {root / "a.txt", root / "b.txt"}) std::ofstream(file) << "x";
    std::ofstream(rules) << kRules;
    g_setenv("VANTORIX_TRACE", trace.c_str(), TRUE);
    g_setenv("VANTORIX_NAUTILUS_STATS", statsFile.c_str(), TRUE);
    // The runtime folder of this test, for the module and for the service the bus starts.
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    g_setenv("XDG_RUNTIME_DIR", runtime.c_str(), TRUE);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) updated = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "UpdateActivationEnvironment",
        g_variant_new_parsed("({'XDG_RUNTIME_DIR': %s},)", runtime.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    if (updated == nullptr) g_printerr("cannot give the bus the runtime folder: %s\n", error->message);
    // This process's own windows, and another file manager owning the well-known name with a window elsewhere.
    publishWindows(bus, &ownWindow);
    GDBusConnection* other = g_dbus_connection_new_for_address_sync(g_getenv("DBUS_SESSION_BUS_ADDRESS"),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION), nullptr, nullptr, nullptr);
    publishWindows(other, new std::string(outside));
    g_bus_own_name_on_connection(other, "org.freedesktop.FileManager1", G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr, nullptr, nullptr);
    // The local service ends with this process, even when the test crashes.
    const gchar* serviceArgv[] = {VANTORIX_LOCALSERVICE_PATH, "--root", root.c_str(), "--status-file", rules.c_str(), nullptr};
    auto endWithParent = [](gpointer) { ::prctl(PR_SET_PDEATHSIG, SIGTERM); };
    EXPECT_TRUE(g_spawn_async(nullptr, const_cast<gchar**>(serviceArgv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, endWithParent, nullptr, &service, nullptr));
    int result = RUN_ALL_TESTS();  // the last phase stops the service; otherwise it ends with this process
    std::error_code ignored;
    if (!g_getenv("VANTORIX_KEEP")) fs::remove_all(work, ignored);
    return result;
}

// A GNOME Files module that only counts: an info provider whose update_file_info answers at once with nothing and
// writes how many items GNOME Files has asked about and when the last was asked ("COUNT SECONDS-SINCE-1970") to
// $VANTORIX_PROBE_FILE. The benchmark of the hosts runs GNOME Files with it beside the real module, so that GNOME
// Files' own time to show a folder stands next to the time to every emblem.
#include <gio/gio.h>

extern "C" {
#include <nautilus-extension.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace {

int output = -1;
unsigned long asked = 0;

NautilusOperationResult count(NautilusInfoProvider*, NautilusFileInfo*, GClosure*, NautilusOperationHandle**) {
    ++asked;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char line[64];
    int size = std::snprintf(line, sizeof line, "%lu %.6f          \n", asked, static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9);
    if (output >= 0) (void)!::pwrite(output, line, static_cast<size_t>(size), 0);
    return NAUTILUS_OPERATION_COMPLETE;
}

void initInfo(gpointer iface, gpointer) { static_cast<NautilusInfoProviderInterface*>(iface)->update_file_info = count; }

GType probeType = 0;

}  // namespace

extern "C" {

G_MODULE_EXPORT void nautilus_module_initialize(GTypeModule* module) {
    static const GTypeInfo info{sizeof(GObjectClass), nullptr, nullptr, nullptr, nullptr, nullptr, sizeof(GObject), 0, nullptr, nullptr};
    static const GInterfaceInfo provider{initInfo, nullptr, nullptr};
    probeType = g_type_module_register_type(module, G_TYPE_OBJECT, "VantorixProbe", &info, static_cast<GTypeFlags>(0));
    g_type_module_add_interface(module, probeType, NAUTILUS_TYPE_INFO_PROVIDER, &provider);
    if (const char* file = g_getenv("VANTORIX_PROBE_FILE")) output = ::open(file, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
}

G_MODULE_EXPORT void nautilus_module_shutdown(void) {}

G_MODULE_EXPORT void nautilus_module_list_types(const GType** types, int* count) {
    *types = &probeType;
    *count = 1;
}

}  // extern "C"

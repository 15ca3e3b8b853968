// The GNOME Files module's entry points, called by Nautilus when it loads its extensions: the one type it
// registers (an info provider, asked about every item GNOME Files shows) and the one host per process, which
// follows the folders of this process's windows (WindowLocations). The host starts when GNOME Files first asks
// about an item, as in the other GTK hosts.
#include "GtkHost.h"
#include "NautilusApi.h"
#include "WindowLocations.h"

#include <exception>
#include <memory>

namespace {

using vantorix::gtk::FileInfoCalls;
using vantorix::gtk::GtkHost;
using vantorix::nautilus::WindowLocations;

struct NautilusHost {
    GtkHost host{"nautilus",
                 FileInfoCalls{[](GObject* item) { return nautilus_file_info_get_location(NAUTILUS_FILE_INFO(item)); },
                               [](GObject* item, const char* name) { nautilus_file_info_add_emblem(NAUTILUS_FILE_INFO(item), name); },
                               [](GObject* item) { nautilus_file_info_invalidate_extension_info(NAUTILUS_FILE_INFO(item)); }},
                 "VANTORIX_NAUTILUS_STATS"};
    WindowLocations windows{[this](const std::set<std::string>& folders) { host.bridge().setShownFolders(folders); }, host.bridge().meter()};
};

std::unique_ptr<NautilusHost> running;

NautilusHost* host() {
    if (!running) {
        try {
            running = std::make_unique<NautilusHost>();
        } catch (const std::exception& error) {
            g_warning("the module could not start: %s", error.what());
        }
    }
    return running.get();
}

}  // namespace

extern "C" {

struct VantorixInfoProvider {
    GObject parent;
};
struct VantorixInfoProviderClass {
    GObjectClass parent;
};

static void vantorix_info_provider_iface_init(NautilusInfoProviderInterface* iface);
G_DEFINE_DYNAMIC_TYPE_EXTENDED(VantorixInfoProvider, vantorix_info_provider, G_TYPE_OBJECT, 0,
                               G_IMPLEMENT_INTERFACE_DYNAMIC(NAUTILUS_TYPE_INFO_PROVIDER, vantorix_info_provider_iface_init))

static void vantorix_info_provider_init(VantorixInfoProvider*) {}
static void vantorix_info_provider_class_init(VantorixInfoProviderClass*) {}
static void vantorix_info_provider_class_finalize(VantorixInfoProviderClass*) {}

// Answers at once with the emblem known now.
static NautilusOperationResult update_file_info(NautilusInfoProvider*, NautilusFileInfo* item, GClosure*, NautilusOperationHandle**) {
    if (NautilusHost* running = host()) running->host.updateFileInfo(G_OBJECT(item));
    return NAUTILUS_OPERATION_COMPLETE;
}

static void cancel_update(NautilusInfoProvider*, NautilusOperationHandle*) {}

static void vantorix_info_provider_iface_init(NautilusInfoProviderInterface* iface) {
    iface->update_file_info = update_file_info;
    iface->cancel_update = cancel_update;
}

G_MODULE_EXPORT void nautilus_module_initialize(GTypeModule* module) {
    vantorix_info_provider_register_type(module);
}

G_MODULE_EXPORT void nautilus_module_shutdown(void) { running.reset(); }

G_MODULE_EXPORT void nautilus_module_list_types(const GType** types, int* count) {
    static GType list[1];
    list[0] = vantorix_info_provider_get_type();
    *types = list;
    *count = 1;
}

}  // extern "C"

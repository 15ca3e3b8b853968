// The Caja module's entry points, called by Caja when it loads its extensions: the one type it registers (an
// info provider, asked about every item Caja shows, and a location-widget provider, asked for a widget for every
// folder a window shows) and the one host per process. The host starts when Caja first asks about an item or a
// folder, so that an extension the user switched off in Caja's preferences costs nothing and starts no service:
// Caja lists the extension under its module, libvantorix-caja (with its description in
// share/caja/extensions), and asks a module switched off about nothing.
#include "CajaApi.h"
#include "GtkHost.h"
#include "LocationWidgets.h"

#include <exception>
#include <memory>

namespace {

using vantorix::gtk::FileInfoCalls;
using vantorix::gtk::GtkHost;
using vantorix::gtk::LocationWidgets;

struct CajaHost {
    GtkHost host{"caja", FileInfoCalls{[](GObject* item) { return caja_file_info_get_location(CAJA_FILE_INFO(item)); },
                                     [](GObject* item, const char* name) { caja_file_info_add_emblem(CAJA_FILE_INFO(item), name); },
                                     [](GObject* item) { caja_file_info_invalidate_extension_info(CAJA_FILE_INFO(item)); }}};
    LocationWidgets windows{[this](const std::set<std::string>& folders) { host.bridge().setShownFolders(folders); }};
};

std::unique_ptr<CajaHost> running;

CajaHost* host() {
    if (!running) {
        try {
            running = std::make_unique<CajaHost>();
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

static void vantorix_info_provider_info_init(CajaInfoProviderIface* iface);
static void vantorix_info_provider_location_init(CajaLocationWidgetProviderIface* iface);

G_DEFINE_DYNAMIC_TYPE_EXTENDED(VantorixInfoProvider, vantorix_info_provider, G_TYPE_OBJECT, 0,
                               G_IMPLEMENT_INTERFACE_DYNAMIC(CAJA_TYPE_INFO_PROVIDER, vantorix_info_provider_info_init)
                               G_IMPLEMENT_INTERFACE_DYNAMIC(CAJA_TYPE_LOCATION_WIDGET_PROVIDER, vantorix_info_provider_location_init)
)

static void vantorix_info_provider_init(VantorixInfoProvider*) {}
static void vantorix_info_provider_class_init(VantorixInfoProviderClass*) {}
static void vantorix_info_provider_class_finalize(VantorixInfoProviderClass*) {}

// Answers at once with the emblem known now.
static CajaOperationResult update_file_info(CajaInfoProvider*, CajaFileInfo* item, GClosure*, CajaOperationHandle**) {
    if (CajaHost* running = host()) running->host.updateFileInfo(G_OBJECT(item));
    return CAJA_OPERATION_COMPLETE;
}

static void cancel_update(CajaInfoProvider*, CajaOperationHandle*) {}

static void vantorix_info_provider_info_init(CajaInfoProviderIface* iface) {
    iface->update_file_info = update_file_info;
    iface->cancel_update = cancel_update;
}

// A window shows the folder: the widget standing for it lives as long as the window shows it.
static GtkWidget* get_widget(CajaLocationWidgetProvider*, const char* uri, GtkWidget*) {
    CajaHost* running = host();
    return running != nullptr ? running->windows.widgetFor(uri) : nullptr;
}

static void vantorix_info_provider_location_init(CajaLocationWidgetProviderIface* iface) { iface->get_widget = get_widget; }

G_MODULE_EXPORT void caja_module_initialize(GTypeModule* module) { vantorix_info_provider_register_type(module); }

G_MODULE_EXPORT void caja_module_shutdown(void) { running.reset(); }

G_MODULE_EXPORT void caja_module_list_types(const GType** types, int* count) {
    static GType list[1];
    list[0] = vantorix_info_provider_get_type();
    *types = list;
    *count = 1;
}

}  // extern "C"

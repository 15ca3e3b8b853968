// The Nemo module's entry points, called by Nemo when it loads its extensions: the one type it registers (an
// info provider, asked about every item Nemo shows, and a location-widget provider, asked for a widget for every
// folder a window shows) and the one host per process. The host starts when Nemo first asks about an item or a
// folder, so that an extension the user switched off in Nemo's preferences costs nothing and starts no service:
// Nemo lists the extension under its type, VantorixInfoProvider, and makes no instance of a type
// switched off.
#include "NemoApi.h"
#include "GtkHost.h"
#include "LocationWidgets.h"

#include <exception>
#include <memory>

namespace {

using vantorix::gtk::FileInfoCalls;
using vantorix::gtk::GtkHost;
using vantorix::gtk::LocationWidgets;

struct NemoHost {
    GtkHost host{"nemo", FileInfoCalls{[](GObject* item) { return nemo_file_info_get_location(NEMO_FILE_INFO(item)); },
                                     [](GObject* item, const char* name) { nemo_file_info_add_emblem(NEMO_FILE_INFO(item), name); },
                                     [](GObject* item) { nemo_file_info_invalidate_extension_info(NEMO_FILE_INFO(item)); }}};
    LocationWidgets windows{[this](const std::set<std::string>& folders) { host.bridge().setShownFolders(folders); }};
};

std::unique_ptr<NemoHost> running;

NemoHost* host() {
    if (!running) {
        try {
            running = std::make_unique<NemoHost>();
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

static void vantorix_info_provider_info_init(NemoInfoProviderInterface* iface);
static void vantorix_info_provider_location_init(NemoLocationWidgetProviderInterface* iface);
static void vantorix_info_provider_name_init(NemoNameAndDescProviderInterface* iface);
G_DEFINE_DYNAMIC_TYPE_EXTENDED(VantorixInfoProvider, vantorix_info_provider, G_TYPE_OBJECT, 0,
                               G_IMPLEMENT_INTERFACE_DYNAMIC(NEMO_TYPE_INFO_PROVIDER, vantorix_info_provider_info_init)
                               G_IMPLEMENT_INTERFACE_DYNAMIC(NEMO_TYPE_LOCATION_WIDGET_PROVIDER, vantorix_info_provider_location_init)
                               G_IMPLEMENT_INTERFACE_DYNAMIC(NEMO_TYPE_NAME_AND_DESC_PROVIDER, vantorix_info_provider_name_init))

static void vantorix_info_provider_init(VantorixInfoProvider*) {}
static void vantorix_info_provider_class_init(VantorixInfoProviderClass*) {}
static void vantorix_info_provider_class_finalize(VantorixInfoProviderClass*) {}

// Answers at once with the emblem known now.
static NemoOperationResult update_file_info(NemoInfoProvider*, NemoFileInfo* item, GClosure*, NemoOperationHandle**) {
    if (NemoHost* running = host()) running->host.updateFileInfo(G_OBJECT(item));
    return NEMO_OPERATION_COMPLETE;
}

static void cancel_update(NemoInfoProvider*, NemoOperationHandle*) {}

static void vantorix_info_provider_info_init(NemoInfoProviderInterface* iface) {
    iface->update_file_info = update_file_info;
    iface->cancel_update = cancel_update;
}

// A window shows the folder: the widget standing for it lives as long as the window shows it.
static GtkWidget* get_widget(NemoLocationWidgetProvider*, const char* uri, GtkWidget*) {
    NemoHost* running = host();
    return running != nullptr ? running->windows.widgetFor(uri) : nullptr;
}

static void vantorix_info_provider_location_init(NemoLocationWidgetProviderInterface* iface) { iface->get_widget = get_widget; }

// How Nemo's plugin list names the extension, where the user can switch it off.
static GList* get_name_and_desc(NemoNameAndDescProvider*) {
    return g_list_append(nullptr, g_strdup("Vantorix sync badges:::Shows the Vantorix sync status of each file as an emblem"));
}

static void vantorix_info_provider_name_init(NemoNameAndDescProviderInterface* iface) { iface->get_name_and_desc = get_name_and_desc; }

G_MODULE_EXPORT void nemo_module_initialize(GTypeModule* module) { vantorix_info_provider_register_type(module); }

G_MODULE_EXPORT void nemo_module_shutdown(void) { running.reset(); }

G_MODULE_EXPORT void nemo_module_list_types(const GType** types, int* count) {
    static GType list[1];
    list[0] = vantorix_info_provider_get_type();
    *types = list;
    *count = 1;
}

}  // extern "C"

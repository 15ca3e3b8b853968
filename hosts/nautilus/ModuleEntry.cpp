// The module's entry points, called by GNOME Files when it loads its extensions: the one type it registers
// (an info provider, asked about every item GNOME Files shows) and the one bridge per process.
#include "NautilusApi.h"
#include "NautilusBridge.h"

#include <exception>

namespace {

using vantorix::nautilus::BridgeSettings;
using vantorix::nautilus::NautilusBridge;

GType providerType = 0;
NautilusBridge* bridge = nullptr;

// Answers at once with the emblem known now. Nothing thrown crosses into GNOME Files.
NautilusOperationResult updateFileInfo(NautilusInfoProvider*, NautilusFileInfo* item, GClosure*, NautilusOperationHandle**) {
    try {
        if (bridge != nullptr) bridge->updateFileInfo(item);
    } catch (const std::exception& error) {
        g_message("vantorix: an item went without its emblem: %s", error.what());
    }
    return NAUTILUS_OPERATION_COMPLETE;
}

void cancelUpdate(NautilusInfoProvider*, NautilusOperationHandle*) {}

void initInfoProvider(gpointer iface, gpointer) {
    auto* provider = static_cast<NautilusInfoProviderInterface*>(iface);
    provider->update_file_info = updateFileInfo;
    provider->cancel_update = cancelUpdate;
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void nautilus_module_initialize(GTypeModule* module) {
    static const GTypeInfo typeInfo{sizeof(GObjectClass), nullptr, nullptr, nullptr, nullptr, nullptr, sizeof(GObject), 0, nullptr, nullptr};
    static const GInterfaceInfo providerInfo{initInfoProvider, nullptr, nullptr};
    providerType = g_type_module_register_type(module, G_TYPE_OBJECT, "VantorixInfoProvider", &typeInfo, static_cast<GTypeFlags>(0));
    g_type_module_add_interface(module, providerType, NAUTILUS_TYPE_INFO_PROVIDER, &providerInfo);
    if (bridge != nullptr) return;
    try {
        bridge = new NautilusBridge(BridgeSettings::fromEnvironment());
    } catch (const std::exception& error) {
        g_message("vantorix: the extension could not start: %s", error.what());
    }
}

G_MODULE_EXPORT void nautilus_module_shutdown(void) {
    delete bridge;
    bridge = nullptr;
}

G_MODULE_EXPORT void nautilus_module_list_types(const GType** types, int* count) {
    static GType list[1];
    list[0] = providerType;
    *types = list;
    *count = 1;
}

}  // extern "C"

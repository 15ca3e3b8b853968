// The Dolphin plugin: KIO's overlay-icon plugin, asked by Dolphin on its main thread for the overlays of every
// item it shows. It answers at once from what the bridge knows ("emblem-vantorix-<badge>", looked up in the icon
// theme), and emits overlaysChanged for an item whose badge changed, which makes Dolphin ask again. It never
// waits: the bridge's connection to the session service runs on Qt's event loop (QtEventLoop), and the folders
// shown come from Dolphin's location bars (NavigatorFolders).
//
// The plugin starts with Dolphin's first question. A user who wants no overlays in Dolphin sets
//   kwriteconfig5 --file vantorixrc --group Dolphin --key ShowOverlays false
// and the plugin then answers nothing, joins no service and starts none (read when Dolphin starts).
#pragma once

#include <KOverlayIconPlugin>

#include <memory>

namespace vantorix::dolphin {

class DolphinHost;

class OverlayPlugin final : public KOverlayIconPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "com.vantorix.dolphin.OverlayIconPlugin" FILE "vantorix-dolphin.json")

public:
    explicit OverlayPlugin(QObject* parent = nullptr);
    ~OverlayPlugin() override;

    QStringList getOverlays(const QUrl& item) override;

private:
    bool switchedOff_;
    std::unique_ptr<DolphinHost> host_;
};

}  // namespace vantorix::dolphin

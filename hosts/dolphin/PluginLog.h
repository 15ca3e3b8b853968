// The plugin's logging category, vantorix.dolphin. Only warnings reach Dolphin's log unless asked for: a plugin
// is a guest there, and its routine news is shown with QT_LOGGING_RULES="vantorix.dolphin.info=true" (or
// "vantorix.dolphin.debug=true", or "vantorix.*=true" for everything).
#pragma once

#include <QLoggingCategory>

namespace vantorix::dolphin {

Q_DECLARE_LOGGING_CATEGORY(lcPlugin)

}  // namespace vantorix::dolphin

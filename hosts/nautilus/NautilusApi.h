// The extension interface of GNOME Files. Its header declares the three module entry points without C linkage
// for C++, so it is included here inside extern "C" (after GLib, whose headers hold C++ templates).
#pragma once

#include <gio/gio.h>
#include <glib-object.h>
#include <glib.h>

extern "C" {
#include <nautilus-extension.h>
}

// `vantorix-finder serve`: the extension for the whole login session, serving every file-manager host of this
// user on $XDG_RUNTIME_DIR/vantorix/finder.sock (ServiceSocket, HostServer, HostRouter). Started on demand by
// the session bus (BusName); ends a while after its last host leaves, when its socket or folder is removed
// under it, when its program file is replaced (an upgrade: the next host starts the new one), and on SIGTERM,
// SIGINT or SIGHUP.
#pragma once

namespace vantorix::session {

int runServe(int argc, char** argv);

}  // namespace vantorix::session

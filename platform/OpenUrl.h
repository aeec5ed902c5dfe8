#pragma once
// Opening a URL in the user's web browser without waiting for it.
//
// The opener program ("xdg-open", or $TELVGATE_URL_OPENER when set) is started as a detached
// grandchild: it is re-parented to init, so it never becomes a zombie of ours and may outlive
// us. It starts with only standard input, output and error open and with no signals blocked,
// so it never holds one of our sockets or lock files.
//
// Any thread may call these; they return as soon as the program was executed (or failed to be).
#include <string>
#include <vector>

namespace platform {

// Starts argv[0] (searched in PATH) with the given arguments, detached. True when the program
// was executed; false with the reason (program name and errno text) in *error otherwise.
bool spawnDetached(const std::vector<std::string>& argv, std::string* error);

// The opener program: $TELVGATE_URL_OPENER when set and not empty, else "xdg-open".
std::string urlOpenerProgram();

// Runs the opener with the URL as its only argument.
bool openUrl(const std::string& url, std::string* error);

}  // namespace platform

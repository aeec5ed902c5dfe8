#pragma once
// The process's start-up and shutdown: everything the entry point does, in order.
//
// Start-up: toolkit application (display optional), settings, icons, main window (GUI only),
// log and its "started" line, single-instance lock, the socket set-up, the command-line
// address, the configuration server, the IP channels, then the event loop. SIGINT and SIGTERM
// run the same close sequence as the window (channels stopped, joined and destroyed); after
// the loop the configuration server is stopped and the "terminated" line is logged.
//
// GUI thread only; call once per process.

// Runs TelvGate; returns the process's exit code (1: another instance runs, or the socket
// set-up failed; 0 after a normal close or --help/--version).
int runTelvGate(int argc, char** argv);

// Shows a message box's text: always on standard error ("<title>: <text>"), and as a modal
// box when a window is shown (kind: 0 error, 1 warning).
void showMessageBox(int kind, const char* title, const char* text);

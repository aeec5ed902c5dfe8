#pragma once
// Taking the channels down: the close sequence of the main window, also run on SIGINT and
// SIGTERM and once more after the configuration server has ended.
//
// GUI thread only (the channels' owner). Other threads may keep appending to g_cnlList; a
// channel appended after the list was taken is left for the next call.
#include <cstddef>

// Takes every channel out of g_cnlList (under its lock), calls stop() on each in list order,
// then joins and deletes each in list order. Returns how many channels it took down.
size_t closeAllChannels();

#pragma once
// Text helpers for names typed by users: the configuration pages are UTF-8, older settings
// files may hold Latin-1, and names end up in the window, picture comments and log lines.
// Pure functions; any thread may call them.
#include <cstddef>
#include <string>

// True when s is well-formed UTF-8 (no overlong forms, surrogates or code points above 10FFFF).
bool isValidUtf8(const std::string& s);
// s unchanged when it is valid UTF-8, otherwise every byte read as Latin-1 and written as UTF-8.
std::string toUtf8FromLatin1IfNeeded(const std::string& s);
// A channel name as the system keeps it: control characters (C0, DEL and, in UTF-8 text, C1)
// removed, then cut to maxChars characters without splitting one (bytes when s is not UTF-8).
std::string cleanName(const std::string& s, size_t maxChars);

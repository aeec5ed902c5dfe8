#pragma once
// File-system calls the settings store and the log need: owner-only modes for files that hold
// passwords, and opening a file only when it is a regular file, without ever blocking on a
// FIFO or a device while finding out.
//
// Plain functions without state; any thread may call them.
#include <string>

namespace platform {

// Creates the folder with mode 0700 when it is missing (its parent must exist); an existing
// folder loses every group and other permission when restrictExisting is true. False when it
// cannot be created or changed.
bool makeOwnerOnlyDir(const std::string& dir, bool restrictExisting = true);
// The permission bits of a file (07777 part of its mode), or -1 when it is missing.
int fileMode(const std::string& path);
// Sets an existing file's mode to 0600, or to less when keepAtMost (a former mode) allows
// less: the owner's read and write bits of keepAtMost are kept, nothing else. Pass -1 for
// plain 0600. False when the file is missing or cannot be changed.
bool makeOwnerOnlyFile(const std::string& path, int keepAtMost = -1);

enum class OpenResult {
  Opened,      // *fd is an open descriptor of a regular file (blocking mode, close-on-exec)
  Missing,     // no such file and create was false
  NotRegular,  // a directory, FIFO, device or socket (also behind a symbolic link)
  Failed,      // any other failure (permissions, missing folder, ...)
};

// Opens path for reading and appending. A missing file is created (mode 0640 whatever the
// umask) only when create is true; *created then says whether that happened.
OpenResult openRegularFile(const std::string& path, bool create, int* fd, bool* created);

// The path with every symbolic link resolved, or the path itself when that is impossible.
std::string resolvedPath(const std::string& path);

// Writes data to a new file beside target and renames it over target, so that a crash leaves
// either the old or the new content. The new file gets target's current permission bits
// (0640 when target is missing), or mode when it is given (a key file: 0600 from the start).
// False on any failure; target is unchanged then.
bool replaceFileContent(const std::string& target, const std::string& data, int mode = -1);

// Makes the file open as fd hold exactly data: written from its start, then cut to that length
// (also when fd was opened for appending). For a folder where no new file can be made; a crash
// in the middle leaves data's beginning followed by the rest of the old content. False on any
// failure.
bool rewriteInPlace(int fd, const std::string& data);

}  // namespace platform

#pragma once
// The log file's part of the System form submission.
#include <string>

#include "confserver/FormUpdate.h"

class CLogFile;

// The fields "sys_logFilePath" and "sys_logFileSize": stores a changed, usable path and a
// changed size, appending the messages; true when it stored a change (then the log is to be
// initialised again).
bool logFileUpdate(CLogFile& log, const FormFields& fields, std::string& html);

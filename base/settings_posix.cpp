// Settings defaults on POSIX: the spool folder lies in the working folder.
// Twin: settings_win32.cpp.
#include "base/settings.h"

const char kDefaultSpoolDirectory[] = "SERVBUFF";

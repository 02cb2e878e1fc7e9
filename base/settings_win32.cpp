// Settings defaults on Windows: the spool folder at the root of drive C.
// Twin: settings_posix.cpp.
#include "base/settings.h"

const char kDefaultSpoolDirectory[] = "C:\\SERVBUFF";

#include "core/Version.h"

const char* LentoraVersion() { return LENTORA_VERSION; }

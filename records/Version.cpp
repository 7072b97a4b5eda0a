#include "records/Version.h"

const char* LentoraVersion() { return LENTORA_VERSION; }

#include "module/Kestal.h"

const char* KestalVersion() { return KESTAL_VERSION_STRING; }

// The library's entry point for hosts. Loading and unloading the library does
// no work: the host creates every object itself.
#pragma once

// The library's version, "MAJOR.MINOR.PATCH".
const char* KestalVersion();

// The product version, defined once: the version resources include it and the
// installer build reads these lines. A release changes the patch field, which
// the installer's upgrade logic compares.
#pragma once

#define VANTLE_VERSION_MAJOR 26
#define VANTLE_VERSION_MINOR 4
#define VANTLE_VERSION_PATCH 0
#define VANTLE_VERSION_BUILD 7
#define VANTLE_VERSION_TEXT "26.04"

#include "common/Version.h"

namespace qm {

// The marker lets a reader find the version in a binary without loading it.
extern "C" {
[[gnu::used]] const char g_qmVersionMarker[] = "QMVERSION:" QM_VERSION_STRING;
}

const char* VersionString()
{
    return g_qmVersionMarker + 10;
}

const char* ShortVersionString()
{
    return "2.2.3";
}

} // namespace qm

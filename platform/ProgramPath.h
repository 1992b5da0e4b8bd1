// Where the running program lives: the file behind /proc/self/exe, never argv[0] or the working directory.
#pragma once

#include "base/Result.h"

#include <string>

namespace qm {

/// The full path of the running program's file.
Result<std::string> ProgramPath();

/// The directory of the running program's file, without a trailing '/' (except for the root itself).
Result<std::string> ProgramDirectory();

} // namespace qm

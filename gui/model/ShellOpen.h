// Opening a document or address the way the desktop does: the argument vector of the desktop's opener and the
// look-up of a program on the search path.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::gui {

/// The program that opens documents and addresses with the user's chosen application.
inline constexpr std::string_view kDesktopOpener = "xdg-open";

/// The argument vector that opens target with opener: {opener, target}. Only the verb "open" (or an empty verb,
/// which means it) is known. None for another verb, for an empty target, for one with control characters, and for
/// one beginning with '-', which the opener would take for an option.
std::optional<std::vector<std::string>> ShellOpenArgv(std::string_view verb, std::string_view target,
                                                      std::string_view opener);

/// The first executable regular file called name in the directories of searchPath (':'-separated, as PATH).
/// Empty and relative entries are skipped, so the working directory never supplies the program; a name with
/// '/' is never searched for.
std::optional<std::string> FindProgramOnPath(std::string_view name, std::string_view searchPath);

} // namespace qm::gui

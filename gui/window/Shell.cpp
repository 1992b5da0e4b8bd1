#include "gui/window/Shell.h"

#include "gui/model/ShellOpen.h"
#include "platform/ChildProcess.h"

#include <cstdlib>

namespace qm::gui {

int ShellExecute(TWindow*, std::string_view verb, std::string_view file, std::string_view parameters,
                 std::string_view directory, int)
{
    // The request is judged before the opener is looked up; the opener's full path then takes its plain name's place.
    std::optional<std::vector<std::string>> argv = ShellOpenArgv(verb, file, kDesktopOpener);
    if (!parameters.empty() || !argv) {
        return SE_ERR_NOASSOC;
    }
    const char* path = std::getenv("PATH");
    std::optional<std::string> opener = FindProgramOnPath(kDesktopOpener, path != nullptr ? path : "");
    if (!opener) {
        return SE_ERR_FNF;
    }
    argv->front() = std::move(*opener);
    ChildOptions options;
    options.Argv = std::move(*argv);
    options.ProgramName = std::string(kDesktopOpener);
    options.Environment = CurrentEnvironment();
    options.WorkingDirectory = std::string(directory);
    return StartDetached(options) ? 33 : SE_ERR_FNF;
}

} // namespace qm::gui

// The web administration program: one request per run, read from standard input and the CGI environment, one page
// written to standard output.
#pragma once

#include <cstdio>
#include <string>

namespace qm::admincgi {

struct AdminCgiOptions {
    std::string ProgramDir; // holds CGI.ini, FileList.dat, Templates/ and the form token
    int KillWaitMs = 5000;  // the pause after a kill request before the sessions are read again
};

/// The exit code of a run that could not find its configuration or the engine library.
inline constexpr int kStartUpFailure = 255;

/// Serves one request. The CGI variables come from the process environment. Returns the exit code: 0, or
/// kStartUpFailure when CGI.ini names no engine INI or the engine library cannot be bound.
int RunAdminCgi(const AdminCgiOptions& options, std::FILE* in, std::FILE* out);

} // namespace qm::admincgi

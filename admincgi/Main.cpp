// QMAdminCGI: the web administration program that the admin web server runs once per request.
// Usage: started as a CGI program (no arguments); the request comes from the CGI environment and standard input.
// Security: trusts only the installation's files (CGI.ini beside the program, the engine INI it names, FileList.dat);
// user names from forms are checked before they reach a path or the engine, only the files FileList.dat lists
// (and users' User.ini) are edited, every change needs the installation's form token, and page values are escaped.
// Exit codes: 0, or 255 when the configuration or the engine library cannot be found.
#include "admincgi/AdminCgi.h"
#include "platform/ProgramPath.h"

#include <cstdio>

int main()
{
    qm::Result<std::string> dir = qm::ProgramDirectory();
    if (!dir) {
        (void)std::fputs("Content-type: text/html\r\n\r\n<HTML><BODY>Error locating Quillmail.ini!</BODY></HTML>\r\n",
                         stdout);
        return qm::admincgi::kStartUpFailure;
    }
    qm::admincgi::AdminCgiOptions options;
    options.ProgramDir = *dir;
    return qm::admincgi::RunAdminCgi(options, stdin, stdout);
}

#include "testsupport/NssWrapper.h"

#include <fstream>

namespace qm::test {
namespace {

// The sanitizer runtime mapped into this process ("" without one): a preloaded library must come after it.
std::string SanitizerRuntime()
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const auto slash = line.find('/');
        if (slash == std::string::npos) {
            continue;
        }
        const std::string path = line.substr(slash);
        const std::string file = path.substr(path.rfind('/') + 1);
        if (file.rfind("libasan.so", 0) == 0 || file.rfind("libtsan.so", 0) == 0) {
            return path;
        }
    }
    return {};
}

} // namespace

std::vector<std::string> NssWrapperVariables(const std::string& passwdFile, const std::string& groupFile)
{
    const std::string runtime = SanitizerRuntime();
    return {"LD_PRELOAD=" + (runtime.empty() ? std::string() : runtime + ":") + "libnss_wrapper.so",
            "NSS_WRAPPER_PASSWD=" + passwdFile, "NSS_WRAPPER_GROUP=" + groupFile};
}

bool NssWrapperMissing(const std::string& childErrors)
{
    return childErrors.find("libnss_wrapper.so") != std::string::npos &&
           childErrors.find("cannot be preloaded") != std::string::npos;
}

} // namespace qm::test

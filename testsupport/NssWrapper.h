// Running a child program against a made-up account list: Debian's libnss-wrapper, preloaded into the child,
// answers the name service's account calls from a passwd file of the test instead of the system's.
#pragma once

#include <string>
#include <vector>

namespace qm::test {

/// The variables that point a child's name service at passwdFile and groupFile: LD_PRELOAD (the sanitizer runtime
/// this test runs with first, as the sanitizer demands, then libnss_wrapper.so), NSS_WRAPPER_PASSWD and
/// NSS_WRAPPER_GROUP; "NAME=value" each.
std::vector<std::string> NssWrapperVariables(const std::string& passwdFile, const std::string& groupFile);

/// True when a child's standard error says that libnss_wrapper.so could not be preloaded (it is not installed).
bool NssWrapperMissing(const std::string& childErrors);

} // namespace qm::test

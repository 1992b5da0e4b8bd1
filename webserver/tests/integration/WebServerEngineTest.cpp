// The main web server hosting the real engine library: start-up, a request, and shut-down on SIGTERM.
#include "testsupport/ShmObjects.h"
#include "webserver/tests/integration/WebServerHarness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include <unistd.h>

namespace qm::test {
namespace {

TEST(WebServerEngineTest, HostsTheEngineLibraryFromStartUpToShutDown)
{
    WebInstallation installation;
    installation.SetLibrary(QM_ENGINE_LIBRARY);
    const std::string registry = installation.Path("registry.ini");
    const std::string ns = "webengine" + std::to_string(getpid());
    RunningServer server(installation, {"QUILLMAIL_IPC_NS=" + ns, "QUILLMAIL_RUNTIME_DIR=" + installation.Path("run"),
                                        "QUILLMAIL_REGISTRY=" + registry});
    ASSERT_TRUE(server.Ready()) << server.Errors();

    // StartUp ran: the engine opened its log and wrote its installation directory into the registry.
    EXPECT_NE(TempDir::ReadFile(installation.Path("Logs/Quillmail.log")).find("Log file starting"), std::string::npos);
    EXPECT_NE(TempDir::ReadFile(registry).find("BaseDir="), std::string::npos);

    // The engine answers the page: this installation has no templates and no language texts, so it is the
    // built-in page with the (empty) text of the missing-template message.
    const CurlReply reply = Curl({server.Url("/mail?View=Logon")});
    EXPECT_EQ(reply.Status, 200u) << reply.Head << reply.Body;
    EXPECT_EQ(reply.Header("Content-Type").value_or(""), "text/html");
    EXPECT_EQ(reply.Body, "<HTML></HTML>");

    const ChildStatus status = server.Signal(SIGTERM);
    EXPECT_TRUE(status.ExitedWith(0)) << server.Errors();
    EXPECT_NE(TempDir::ReadFile(installation.Path("Logs/Quillmail.log")).find("Log file stopping"), std::string::npos);
    EXPECT_EQ(RemoveShmObjectsOf(ns), std::vector<std::string>{}) << "the server left shared memory behind";
}

} // namespace
} // namespace qm::test

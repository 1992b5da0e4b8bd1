// The administration exports from another process: an administration program (the test client) loads Quillmail.so
// without StartUp and binds the QM_* calls by name, as the console and the web administration do, while this process
// plays the engine or a window.
#include "engine/AdminCalls.h"
#include "engine/Engine.h"
#include "engine/EngineMessages.h"
#include "engine/Maintenance.h"
#include "engine/SessionManager.h"
#include "engine/tests/EngineTestSupport.h"
#include "platform/ChildProcess.h"
#include "platform/WindowMessage.h"
#include "store/MessageIndex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace qm::engine {
namespace {

using test::TempInstall;
using test::WriteFile;
namespace fs = std::filesystem;

// One client process with pipes to its standard input and output.
class Client {
public:
    explicit Client(const TempInstall& install)
    {
        ChildOptions options;
        options.Argv = {QM_ADMIN_TEST_CLIENT, QM_ENGINE_LIBRARY};
        options.Environment = install.Environment();
        options.Stdin = ChildStdio::Pipe();
        options.Stdout = ChildStdio::Pipe();
        auto child = ChildProcess::Start(options);
        EXPECT_TRUE(child) << child.error().Message;
        if (child) {
            m_child.emplace(std::move(*child));
        }
    }

    ~Client()
    {
        if (m_child) {
            m_child->CloseStdin();
            auto status = m_child->Wait(30000);
            EXPECT_TRUE(status && status->ExitedWith(0));
        }
    }

    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    /// Sends one command (fields joined by TAB) and returns its line of result.
    std::string Call(const std::vector<std::string>& fields)
    {
        Send(fields);
        return ReadLine();
    }

    void Send(const std::vector<std::string>& fields)
    {
        std::string line;
        for (const std::string& field : fields) {
            line += (line.empty() ? "" : "\t") + field;
        }
        line += "\n";
        ASSERT_TRUE(m_child);
        ASSERT_EQ(::write(m_child->StdinFd(), line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }

    /// The next line of output, waiting up to timeout; "" at its end or on time-out.
    std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(30))
    {
        return test::ReadLineFrom(m_child ? m_child->StdoutFd() : -1, m_buffer, timeout);
    }

private:
    std::optional<ChildProcess> m_child;
    std::string m_buffer;
};

class AdminProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegisterEngineMessages();
        m_install.WriteIni("[General]\r\nLogLevel=1\r\n");
        WriteFile(m_install.Dir() / "Domains.Ini", "[Default:Settings]\r\nPopHost=pop.example.org\r\n");
        fs::create_directories(m_install.Dir() / "Users");
        EngineProcessAttach(nullptr);
        ASSERT_TRUE(EngineAttached());
        auto window = WindowMessageEndpoint::Create(EngineNamespace());
        ASSERT_TRUE(window);
        m_window = std::move(*window);
        admin::RegisterWindow(m_window.Handle());
    }

    void TearDown() override
    {
        admin::UnRegisterWindow(m_window.Handle());
        (void)EngineShutDown();
        EngineProcessDetach();
    }

    // The notifications this process's window received, waiting up to timeout for the first and briefly for more.
    std::vector<std::uint64_t> Codes(std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::vector<std::uint64_t> codes;
        auto message = m_window.WaitFor(timeout);
        while (message) {
            codes.push_back(message->WParam);
            message = m_window.WaitFor(std::chrono::milliseconds(300));
        }
        return codes;
    }

    fs::path UserDir(const std::string& name) const { return m_install.Dir() / "Users" / name; }

    TempInstall m_install;
    WindowMessageEndpoint m_window;
};

TEST_F(AdminProcessTest, AccountCallsWorkFromASecondProcess)
{
    Client client(m_install);
    EXPECT_EQ(client.Call({"create", "bob", "pw", "en", "Bob B", "bob@example.org"}), "1");
    EXPECT_TRUE(fs::is_directory(UserDir("bob") / "Inbox"));
    EXPECT_EQ(Codes(), std::vector<std::uint64_t>{kNotifyUserCreated});

    EXPECT_EQ(client.Call({"exists", "BOB"}), "1");
    EXPECT_EQ(client.Call({"exists", "nobody"}), "0");
    WriteFile(UserDir("bob") / "Inbox" / "QM000001.msg", std::string(5000, 'x'));
    std::uintmax_t size = 0;
    for (const auto& entry : fs::recursive_directory_iterator(UserDir("bob"))) {
        size += entry.is_regular_file() ? entry.file_size() : 0;
    }
    EXPECT_EQ(client.Call({"diskspace", "bob"}), std::to_string(size));

    EXPECT_EQ(client.Call({"rename", "bob", "robert"}), "1");
    EXPECT_FALSE(fs::exists(UserDir("bob")));
    EXPECT_TRUE(fs::exists(UserDir("robert") / "Inbox" / "QM000001.msg"));
    EXPECT_EQ(client.Call({"change", "robert", "rob", "Rob", "pw2"}), "1") << "the mail server is not followed";
    EXPECT_TRUE(fs::exists(UserDir("robert")));

    EXPECT_EQ(client.Call({"delete", "ROBERT"}), "1");
    EXPECT_FALSE(fs::exists(UserDir("robert")));
    EXPECT_EQ(Codes(), std::vector<std::uint64_t>{kNotifyUserDeleted});
}

TEST_F(AdminProcessTest, HostileNamesAreRefusedFromASecondProcessAndTouchNothing)
{
    fs::create_directories(UserDir("ann") / "Inbox");
    WriteFile(m_install.Dir() / "keep.txt", "keep");
    Client client(m_install);
    for (const char* name : {" a", ".a", "..", ".", "a/../b", "../Users", "/", "ann/Inbox", "a b", ""}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(client.Call({"create", name, "pw", "", "", ""}), "0");
        EXPECT_EQ(client.Call({"delete", name}), "0");
        EXPECT_EQ(client.Call({"exists", name}), "0");
        EXPECT_EQ(client.Call({"diskspace", name}), "0");
        EXPECT_EQ(client.Call({"rename", "ann", name}), "0");
    }
    EXPECT_EQ(client.Call({"create", "ANN", "pw", "", "", ""}), "0") << "an account of that name exists";
    EXPECT_TRUE(fs::is_directory(UserDir("ann") / "Inbox"));
    EXPECT_EQ(test::ReadFile(m_install.Dir() / "keep.txt"), "keep");
    std::vector<std::string> users;
    for (const auto& entry : fs::directory_iterator(m_install.Dir() / "Users")) {
        users.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(users, std::vector<std::string>{"ann"});
    EXPECT_TRUE(Codes(std::chrono::milliseconds(300)).empty());
}

TEST_F(AdminProcessTest, ASessionKilledFromAnotherProcessIsGoneWithinOneMaintenanceRound)
{
    ASSERT_TRUE(EngineStartUp());
    Session* bob = EngineSessions()->Create("bob", "192.0.2.7");
    Session* ann = EngineSessions()->Create("ann", "192.0.2.8");
    ASSERT_TRUE(bob != nullptr && ann != nullptr);
    const std::string id = bob->Id();
    const std::string annId = ann->Id();
    bob->Unbusy();
    ann->Unbusy();

    Client admin(m_install);
    EXPECT_EQ(admin.Call({"sessions", "10"}), "2 " + id + ":bob " + annId + ":ann");
    EXPECT_EQ(admin.Call({"sessions", "0"}), "0");

    Client window(m_install);
    window.Send({"watch", "9906", "20"});
    ASSERT_EQ(window.ReadLine(), "ready");
    (void)Codes(std::chrono::milliseconds(300));

    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(admin.Call({"kill", id}), "done");
    EXPECT_EQ(window.ReadLine(std::chrono::seconds(20)), "message 9904 9906");
    EXPECT_LT(std::chrono::steady_clock::now() - asked, kMaintenancePeriod + std::chrono::seconds(3));

    EXPECT_EQ(EngineSessions()->FindById(id), nullptr);
    EXPECT_EQ(admin.Call({"sessions", "10"}), "1 " + annId + ":ann");
    std::istringstream status(admin.Call({"status"}));
    std::int32_t startTime = 0;
    std::int32_t sessions = 0;
    status >> startTime >> sessions;
    EXPECT_GT(startTime, 0);
    EXPECT_EQ(sessions, 1);
}

// A request to the running engine, as a web server hands it over; what it wrote.
std::string RunEngineRequest(const TempInstall& install, const std::string& query)
{
    std::string environment;
    for (const std::string& entry :
         {std::string("REQUEST_METHOD=GET"), "QUERY_STRING=" + query, std::string("REMOTE_ADDR=127.0.0.1"),
          std::string("SERVER_NAME=localhost"), std::string("SERVER_PORT=2000"),
          std::string("SERVER_ADDR=127.0.0.1"), std::string("SCRIPT_NAME=/mail")}) {
        environment += entry;
        environment += '\0';
    }
    environment += '\0';
    const std::string outPath = (install.Dir() / "response").string();
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(out, 0);
    EngineMain(-1, out, environment.c_str());
    return test::ReadFile(outPath);
}

TEST_F(AdminProcessTest, ANewAccountFindsItsWelcomeMessageInTheInboxAtItsFirstLogon)
{
    m_install.WriteIni("[General]\r\nLogLevel=1\r\n[AccountCreation]\r\nSendWelcomeMessage=Yes\r\n");
    WriteFile(m_install.Dir() / "welcome.msg",
              "From: Postmaster <postmaster@example.org>\r\nSubject: Welcome, <$FULLNAME$>\r\n\r\n"
              "Your account <$USERNAME$> receives mail for <$EMAIL$>.\r\n");
    {
        Client client(m_install);
        ASSERT_EQ(client.Call({"create", "bob", "pw", "en", "Bob B", "bob@example.org"}), "1");
    }
    ASSERT_TRUE(EngineStartUp());

    const std::string response = RunEngineRequest(m_install, "View=Main&User=bob&Password=pw");
    EXPECT_NE(response.find("Set-Cookie: Session="), std::string::npos) << response << m_install.Log();
    Session* session = EngineSessions()->FindByUser("bob");
    ASSERT_NE(session, nullptr) << m_install.Log();
    session->Unbusy();

    EXPECT_EQ(test::ReadFile(UserDir("bob") / "User.ini").find("SendWelcome"), std::string::npos);
    store::MessageIndex index(UserDir("bob").string());
    ASSERT_EQ(index.Count(), 1);
    const store::MessageIndexEntry& entry = *index.Entry(0);
    EXPECT_EQ(entry.Folder(), "Inbox");
    EXPECT_EQ(entry.Subject(), "Welcome, Bob B");
    EXPECT_TRUE(entry.HasFlag(store::MessageFlag::Stored));
    const std::string text = test::ReadFile(entry.GetMessagePath());
    EXPECT_NE(text.find("\r\n\r\nYour account bob receives mail for bob@example.org.\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("<$"), std::string::npos) << text;
}

} // namespace
} // namespace qm::engine

#include "testsupport/DovecotServer.h"

#include "testsupport/LoopbackListener.h"
#include "testsupport/Program.h"
#include "testsupport/WaitUntil.h"

#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

bool WriteText(const fs::path& path, std::string_view text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    return static_cast<bool>(out);
}

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Greets(int port)
{
    ScopedFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        return false;
    }
    char reply[64] = {};
    timeval wait{5, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return ::recv(fd.Get(), reply, sizeof reply - 1, 0) > 3 && std::string(reply).starts_with("+OK");
}

} // namespace

std::string DovecotServer::Program()
{
    std::string path = FindProgram("dovecot");
    if (path.empty() && ::access("/usr/sbin/dovecot", X_OK) == 0) {
        path = "/usr/sbin/dovecot";
    }
    return path;
}

DovecotServer::DovecotServer(fs::path dir, std::string user, std::string password)
    : m_dir(std::move(dir))
    , m_base(m_dir / "dovecot")
    , m_maildir(m_base / "mail" / user)
    , m_user(std::move(user))
    , m_password(std::move(password))
    , m_program(Program())
{}

DovecotServer::~DovecotServer()
{
    Stop();
}

std::string DovecotServer::Prepare()
{
    if (m_program.empty()) {
        return "dovecot is not installed";
    }
    // As root the server runs as nobody; otherwise as the caller.
    if (::geteuid() == 0) {
        Result<RunAsUser> nobody = LookupUser("nobody");
        if (!nobody) {
            return "no user nobody to run dovecot as";
        }
        m_runAs = *nobody;
    }
    const unsigned uid = m_runAs ? m_runAs->Uid : ::getuid();
    const unsigned gid = m_runAs ? m_runAs->Gid : ::getgid();
    passwd pw{};
    group gr{};
    passwd* foundUser = nullptr;
    group* foundGroup = nullptr;
    std::vector<char> names(16384);
    std::vector<char> groupNames(16384);
    if (::getpwuid_r(uid, &pw, names.data(), names.size(), &foundUser) != 0 || foundUser == nullptr ||
        ::getgrgid_r(gid, &gr, groupNames.data(), groupNames.size(), &foundGroup) != 0 || foundGroup == nullptr) {
        return "cannot name the user and group to run dovecot as";
    }
    std::error_code error;
    for (const char* sub : {"run", "state"}) {
        fs::create_directories(m_base / sub, error);
    }
    for (const char* sub : {"new", "cur", "tmp"}) {
        fs::create_directories(m_maildir / sub, error);
    }
    if (error) {
        return "cannot make the server's directories: " + error.message();
    }
    const std::string passwdLine = m_user + ":{PLAIN}" + m_password + ":" + std::to_string(uid) + ":" +
                                   std::to_string(gid) + "::" + m_maildir.string() + "::\n";
    m_port = LoopbackListener().Port();
    if (!WriteText(m_base / "passwd", passwdLine) ||
        !WriteText(m_base / "dovecot.conf", Config(pw.pw_name, gr.gr_name))) {
        return "cannot write the server's configuration";
    }
    if (m_runAs) {
        // The server's own files belong to it; the directory above is only passed through.
        fs::permissions(m_dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec, error);
        for (const auto& item : fs::recursive_directory_iterator(m_base)) {
            if (::lchown(item.path().c_str(), uid, gid) != 0) {
                return "cannot hand " + item.path().string() + " to the server's user";
            }
        }
        if (::lchown(m_base.c_str(), uid, gid) != 0) {
            return "cannot hand the server's directory to its user";
        }
    }
    return {};
}

bool DovecotServer::AddMessage(const std::string& name, std::string_view text)
{
    const fs::path path = m_maildir / "new" / name;
    if (!WriteText(path, text)) {
        return false;
    }
    return !m_runAs || ::lchown(path.c_str(), m_runAs->Uid, m_runAs->Gid) == 0;
}

std::string DovecotServer::Start()
{
    ChildOptions options;
    options.Argv = {m_program, "-F", "-c", (m_base / "dovecot.conf").string()};
    options.Environment = ChildEnvironment();
    options.Stdout = ChildStdio::File((m_dir / "dovecot.out").string());
    options.Stderr = ChildStdio::File((m_dir / "dovecot.err").string());
    options.User = m_runAs;
    options.Group = ProcessGroup::NewGroup; // stopping it stops its helper processes too
    Result<ChildProcess> child = ChildProcess::Start(options);
    if (!child) {
        return child.error().Message;
    }
    m_server.emplace(std::move(*child));
    if (!WaitUntil([this] { return Greets(m_port); })) {
        return "dovecot did not greet: " + ReadText(m_dir / "dovecot.err") + ReadText(m_base / "dovecot.log");
    }
    return {};
}

void DovecotServer::Stop()
{
    if (m_server) {
        static_cast<void>(m_server->Kill());
        m_server.reset();
    }
}

int DovecotServer::MessageCount() const
{
    int count = 0;
    std::error_code error;
    for (const char* sub : {"new", "cur"}) {
        for (const auto& item : fs::directory_iterator(m_maildir / sub, error)) {
            count += item.is_regular_file() ? 1 : 0;
        }
    }
    return count;
}

std::string DovecotServer::Config(const std::string& userName, const std::string& groupName) const
{
    const std::string base = m_base.string();
    return "base_dir = " + base + "/run\n" + "state_dir = " + base + "/state\n" + "log_path = " + base +
           "/dovecot.log\n" + "protocols = pop3\nlisten = 127.0.0.1\nssl = no\n" +
           "disable_plaintext_auth = no\nauth_mechanisms = plain\n" + "default_internal_user = " + userName +
           "\ndefault_internal_group = " + groupName + "\ndefault_login_user = " + userName +
           "\nfirst_valid_uid = 0\nfirst_valid_gid = 0\n" + "mail_location = maildir:~\n" +
           "pop3_uidl_format = %08Xu%08Xv\n" + "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " + base +
           "/passwd\n}\n" + "userdb {\n  driver = passwd-file\n  args = " + base + "/passwd\n}\n" +
           "service pop3-login {\n  chroot =\n  inet_listener pop3 {\n    address = 127.0.0.1\n    port = " +
           std::to_string(m_port) + "\n  }\n}\n" + "service anvil {\n  chroot =\n}\n" +
           "service imap-login {\n  chroot =\n}\n" + "service submission-login {\n  chroot =\n}\n";
}

} // namespace qm::test

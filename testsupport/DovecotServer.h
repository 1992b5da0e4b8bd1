// A real POP3 server for tests and benchmarks: the distribution's dovecot, started as an unprivileged process with a
// configuration of its own (its own directories, a password file with one user, a maildir, a loopback port chosen
// at run time). Nothing outside the given directory is touched; destroying the object stops the server.
#pragma once

#include "platform/ChildProcess.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qm::test {

class DovecotServer {
public:
    /// The dovecot program, or "" when it is not installed.
    static std::string Program();

    /// A server to be set up under dir (which must exist) for one user with that password.
    DovecotServer(std::filesystem::path dir, std::string user, std::string password);
    ~DovecotServer();

    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    /// Writes the directories, the password file and the configuration. "" on success, else what failed.
    std::string Prepare();

    /// Puts a message into the user's maildir (LF line ends as a delivery leaves them); name must be unique.
    bool AddMessage(const std::string& name, std::string_view text);

    /// Starts the server (after Prepare) and waits until it greets on its port. "" on success, else what failed
    /// with the server's own error output.
    std::string Start();

    /// Stops the server with its helper processes.
    void Stop();

    int Port() const { return m_port; }

    const std::string& User() const { return m_user; }

    const std::string& Password() const { return m_password; }

    /// The messages in the user's maildir.
    int MessageCount() const;

    const std::filesystem::path& Maildir() const { return m_maildir; }

private:
    std::string Config(const std::string& userName, const std::string& groupName) const;

    std::filesystem::path m_dir;
    std::filesystem::path m_base;
    std::filesystem::path m_maildir;
    std::string m_user;
    std::string m_password;
    std::string m_program;
    std::optional<RunAsUser> m_runAs;
    std::optional<ChildProcess> m_server;
    int m_port = 0;
};

} // namespace qm::test

// Test support for the session code: a temporary installation with the main INI and Domains.Ini set for this
// process, a shared block and a session table in ordinary memory, a clock the test moves, the notifications
// recorded, and a session manager over all of it.
#pragma once

#include "common/IniAccess.h"
#include "common/LogFile.h"
#include "engine/Engine.h"
#include "engine/EngineMessages.h"
#include "engine/SessionManager.h"
#include "engine/tests/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qm::engine::test {

inline constexpr time_t kStartTime = 1765432100;

/// An installation whose main INI and Domains.Ini this process uses (without attaching to a shared block).
class SettingsInstall {
public:
    /// ini: the text of Quillmail.ini after the [Directories] section that points at the installation's folders.
    explicit SettingsInstall(const std::string& ini = "")
    {
        const std::string dir = m_install.Dir().string();
        m_install.WriteIni("[Directories]\r\nBaseDir=" + dir + "\r\nUserDir=" + dir + "/Users\r\nTempDir=" + dir +
                           "/Temp\r\nSpellDir=" + dir + "/SpellCheck\r\n" + ini);
        fs::create_directories(m_install.Dir() / "Users");
        fs::create_directories(m_install.Dir() / "Temp");
        fs::create_directories(m_install.Dir() / "Logs");
        SetMainIniPath(m_install.IniPath());
        SetDomainsIniPath((m_install.Dir() / "Domains.Ini").string());
    }

    ~SettingsInstall()
    {
        SetMainIniPath("");
        SetDomainsIniPath("");
    }

    const fs::path& Dir() const { return m_install.Dir(); }

    fs::path UserDir(const std::string& name) const { return m_install.Dir() / "Users" / name; }

    fs::path TempDir() const { return m_install.Dir() / "Temp"; }

    std::string IniPath() const { return m_install.IniPath(); }

    void WriteDomains(const std::string& text) const { WriteFile(m_install.Dir() / "Domains.Ini", text); }

private:
    TempInstall m_install;
};

/// A session manager over a shared block and table of its own.
class SessionHarness {
public:
    explicit SessionHarness(const std::string& ini = "", int tableRows = 200)
        : m_settings(ini)
        , m_rows(static_cast<std::size_t>(tableRows) * kSessionRecordSize)
        , m_tableRows(tableRows)
    {
        RegisterEngineMessages();
        std::memset(&m_block, 0, sizeof m_block);
        EXPECT_TRUE(m_block.SessionsMutex.Init());
        m_log = std::make_unique<LogFile>((m_settings.Dir() / "Logs").c_str(), "Quillmail.log", "QM", "", 5000,
                                          [this] { return m_now.load(); });
        m_manager = std::make_unique<SessionManager>(Context());
    }

    ~SessionHarness()
    {
        m_manager.reset();
        m_log.reset();
    }

    SessionManagerContext Context()
    {
        SessionManagerContext context;
        context.Shared = &m_block;
        context.Table = [this] {
            return SessionTableView{m_rows.data(), m_tableRows};
        };
        context.NotifyLocked = [this](std::uint64_t code) {
            std::lock_guard lock(m_notesLock);
            m_notes.push_back(code);
        };
        context.Log = m_log.get();
        context.Now = [this] {
            return m_now.load();
        };
        context.RandomSeed = [this]() -> std::optional<std::uint32_t> {
            std::lock_guard lock(m_notesLock);
            if (m_seeds.empty()) {
                return m_random.fetch_add(7919u * 7919u);
            }
            const std::optional<std::uint32_t> seed = m_seeds.front();
            m_seeds.erase(m_seeds.begin());
            return seed;
        };
        return context;
    }

    SessionManager& Manager() { return *m_manager; }

    LogFile& LogTarget() { return *m_log; }

    /// Destroys the manager (with every session it has) and makes a new one.
    void RecreateManager()
    {
        m_manager.reset();
        m_manager = std::make_unique<SessionManager>(Context());
    }

    const SettingsInstall& Settings() const { return m_settings; }

    /// The next seeds the random source gives (nullopt: it fails), before it goes on with its own.
    void QueueSeeds(std::vector<std::optional<std::uint32_t>> seeds)
    {
        std::lock_guard lock(m_notesLock);
        m_seeds = std::move(seeds);
    }

    void SetNow(time_t now) { m_now.store(now); }

    void Advance(time_t seconds) { m_now.fetch_add(seconds); }

    time_t Now() const { return m_now.load(); }

    int Word(StatusWord word) { return GetStatus(m_block.Section.Status, word); }

    EngineSharedBlock& Block() { return m_block; }

    const SessionRecord& Row(int index) const
    {
        return *reinterpret_cast<const SessionRecord*>(m_rows.data() + index * kSessionRecordSize);
    }

    std::vector<std::uint64_t> TakeNotes()
    {
        std::lock_guard lock(m_notesLock);
        return std::exchange(m_notes, {});
    }

    std::string Log()
    {
        m_log->Flush();
        return ReadFile(m_settings.Dir() / "Logs" / "Quillmail.log");
    }

    /// Creates a session and gives its busy count back at once.
    Session* CreateIdle(const std::string& user, const std::string& address = "192.0.2.7")
    {
        Session* session = m_manager->Create(user, address);
        if (session != nullptr) {
            session->Unbusy();
        }
        return session;
    }

private:
    SettingsInstall m_settings;
    EngineSharedBlock m_block;
    std::vector<unsigned char> m_rows;
    int m_tableRows;
    std::atomic<time_t> m_now{kStartTime};
    std::atomic<std::uint32_t> m_random{12345};
    std::mutex m_notesLock;
    std::vector<std::uint64_t> m_notes;
    std::vector<std::optional<std::uint32_t>> m_seeds;
    std::unique_ptr<LogFile> m_log;
    std::unique_ptr<SessionManager> m_manager;
};

} // namespace qm::engine::test

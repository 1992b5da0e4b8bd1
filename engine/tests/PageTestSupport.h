// Test support for the page templates: a recording log, a request and a session that the templates are rendered
// for, and temporary template directories made from the fixture in engine/tests/data/templates.
#pragma once

#include "common/CgiInput.h"
#include "common/IniAccess.h"
#include "common/Log.h"
#include "engine/DomainSettings.h"
#include "engine/Engine.h"
#include "engine/EngineMessages.h"
#include "engine/LanguagesFile.h"
#include "engine/PageContext.h"
#include "engine/TemplateCache.h"
#include "engine/TemplateRender.h"
#include "engine/tests/EngineTestSupport.h"
#include "store/AddressBook.h"
#include "store/FilterList.h"
#include "store/FolderList.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "store/StoreSeams.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace qm::engine::test {

/// A Logger that keeps the lines it is given (those that pass the current log level).
class RecordingLog final : public Logger {
public:
    [[gnu::format(printf, 2, 0)]] void VLog(const char* format, va_list args) override
    {
        char line[2048];
        (void)std::vsnprintf(line, sizeof line, format, args);
        Lines.emplace_back(line);
    }

    void Write(const char* bytes, size_t length) override { Lines.emplace_back(bytes, length); }

    void Flush() override {}

    /// How many lines equal text.
    int Count(const std::string& text) const
    {
        int count = 0;
        for (const std::string& line : Lines) {
            count += line == text ? 1 : 0;
        }
        return count;
    }

    std::vector<std::string> Lines;
};

/// Sets the process's log level for a scope.
class ScopedLogLevel {
public:
    explicit ScopedLogLevel(int level)
        : m_level(level)
    {
        SetLogLevelSource(&m_level);
    }

    ScopedLogLevel(const ScopedLogLevel&) = delete;
    ScopedLogLevel& operator=(const ScopedLogLevel&) = delete;

    ~ScopedLogLevel() { SetLogLevelSource(nullptr); }

private:
    int m_level;
};

/// A user with real folders, mail accounts, message index and address book in userDir, and no filters.
class FakeStoreUser final : public store::StoreUser {
public:
    FakeStoreUser(const std::string& userDir, const store::LanguageTexts* texts)
        : m_userDir(userDir)
        , m_folders(userDir, "en", texts)
        , m_accounts(userDir)
        , m_index(userDir)
        , m_book(userDir.c_str(), store::AddressBook::PathKind::Directory)
    {
        (void)m_book.Load();
    }

    const char* UserDir() const override { return m_userDir.c_str(); }

    Result<store::MessageIndex*> Index() override { return &m_index; }

    store::MessageIndex& Messages() { return m_index; }

    store::FolderList& Folders() override { return m_folders; }

    store::FilterList& Filters() override { return m_filters; }

    store::MailHostList& MailHosts() override { return m_accounts; }

    store::AddressBook& AddrBook() override { return m_book; }

    const char* OwnPassword() const override { return ""; }

private:
    std::string m_userDir;
    store::FolderList m_folders;
    store::MailHostList m_accounts;
    store::MessageIndex m_index;
    store::AddressBook m_book;
    store::FilterList m_filters;
};

class FakeSession final : public PageSession {
public:
    const char* Id() const override { return SessionId.c_str(); }

    const char* UserName() const override { return Name.c_str(); }

    UserSettingsSource Settings() const override { return Source; }

    MessageSlot& StatusMessage() override { return Status; }

    MessageSlot& ErrorMessage() override { return Error; }

    int TakePendingFrameView() override { return std::exchange(PendingFrameView, 0); }

    std::optional<FetchProgress> GetFetchProgress() override { return Progress; }

    store::MessageIndexEntry* CurrentMessage() override { return Current; }

    void SetCurrentMessage(store::MessageIndexEntry* entry) override { Current = entry; }

    const std::string& TempDir() const override { return Temp; }

    store::StoreUser& User() override
    {
        if (!UserObject) {
            ADD_FAILURE() << "the session's user was used but the test gave none";
            std::abort();
        }
        return *UserObject;
    }

    std::string SessionId = "ABCDEFG";
    std::string Name = "alice";
    UserSettingsSource Source;
    MessageSlot Status;
    MessageSlot Error;
    int PendingFrameView = 0;
    std::optional<FetchProgress> Progress;
    std::unique_ptr<FakeStoreUser> UserObject;
    store::MessageIndexEntry* Current = nullptr;
    std::string Temp;
};

/// A request for the templates: fields, cookies and environment given by the test, output in a string.
class FakePage final : public PageContext {
public:
    /// environment: "NAME=value" entries.
    FakePage(TemplateCache& cache, const std::vector<std::string>& environment = {})
        : m_cache(cache)
    {
        for (const std::string& entry : environment) {
            m_environment += entry;
            m_environment += '\0';
        }
        m_environment += '\0';
        m_input = std::make_unique<CgiInput>(nullptr, nullptr, m_environment.c_str());
        m_input->ReadInput(true); // cookies from HTTP_COOKIE
    }

    std::string& Output() override { return Out; }

    const CgiInput& Input() const override { return *m_input; }

    Logger& Log() override { return Logged; }

    TemplateCache& Templates() override { return m_cache; }

    PageSession* Session() override { return SessionObject; }

    int View() const override { return ViewId; }

    const std::string& Language() const override { return Lang; }

    const std::string& Theme() const override { return ThemeName; }

    const std::string& Domain() const override { return DomainName; }

    void SetLanguage(std::string code) override { Lang = std::move(code); }

    void SetTheme(std::string theme) override { ThemeName = std::move(theme); }

    MessageSlot& RequestStatusMessage() override { return Status; }

    MessageSlot& RequestErrorMessage() override { return Error; }

    /// Adds a form field.
    FakePage& Field(const char* name, const char* value)
    {
        m_input->Variables().Add(name, value);
        return *this;
    }

    /// Renders text as a template (upper-cased as the loaders do) and returns what it wrote.
    std::string Render(std::string text)
    {
        Out.clear();
        UpperCaseTags(text);
        const CompiledTemplate compiled(std::move(text));
        RenderTemplate(*this, compiled);
        return Out;
    }

    std::string Out;
    RecordingLog Logged;
    PageSession* SessionObject = nullptr;
    int ViewId = 1;
    std::string Lang = "en";
    std::string ThemeName = "Globe";
    std::string DomainName = "d.com";
    MessageSlot Status;
    MessageSlot Error;

private:
    TemplateCache& m_cache;
    std::string m_environment;
    std::unique_ptr<CgiInput> m_input;
};

/// A temporary directory with a copy of the template fixture in Templates/, an HTML directory with style sheets in
/// HTML/, an engine INI pointing at both and a Domains.Ini. Restores the INI paths and the message table at the end.
class TemplateFixture {
public:
    TemplateFixture()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "qmtpl.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "cannot create a temporary directory";
        }
        m_root = pattern;
        std::filesystem::copy(std::filesystem::path(QM_SOURCE_DIR) / "engine/tests/data/templates", TemplateDir(),
                              std::filesystem::copy_options::recursive);
        std::filesystem::create_directories(m_root / "HTML" / "Globe");
        WriteFile(m_root / "HTML" / "Globe" / "Normal.css", "body{}");
        WriteFile(m_root / "HTML" / "Globe" / "Large.css", "body{}");
        WriteIni("");
        WriteFile(DomainsPath(), "");
        SetDomainsIniPath(DomainsPath());
        RegisterEngineMessages();
    }

    TemplateFixture(const TemplateFixture&) = delete;
    TemplateFixture& operator=(const TemplateFixture&) = delete;

    ~TemplateFixture()
    {
        SetMainIniPath("");
        SetDomainsIniPath({});
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }

    std::string TemplateDir() const { return (m_root / "Templates").string(); }

    std::string HtmlDir() const { return (m_root / "HTML").string(); }

    std::string DomainsPath() const { return (m_root / "Domains.Ini").string(); }

    std::string Path(const std::string& relative) const { return (m_root / relative).string(); }

    /// Writes the engine INI: the directories, then extra.
    void WriteIni(const std::string& extra) const
    {
        const std::string ini = (m_root / "Quillmail.ini").string();
        WriteFile(ini, "[Directories]\r\nTemplateDir=" + TemplateDir() + "\r\nSpellDir=" + Path("Spell") +
                               "\r\n[WebServer]\r\nHtmlDir=" + HtmlDir() + "\r\n" + extra);
        SetMainIniPath(ini);
    }

    void WriteDomains(const std::string& text) const { WriteFile(DomainsPath(), text); }

    /// A cache over the fixture's templates.
    std::unique_ptr<TemplateCache> MakeCache(bool caching, Logger* log = nullptr) const
    {
        return std::make_unique<TemplateCache>(TemplateDir(), caching, log);
    }

private:
    std::filesystem::path m_root;
};

} // namespace qm::engine::test

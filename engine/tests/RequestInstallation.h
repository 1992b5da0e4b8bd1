// Test support for whole requests against the shipped pages: an installation with the Globe templates and
// Languages.ini of data/, a domain whose POP3 and SMTP servers are a loopback port where nobody listens, sessions
// opened straight through the session manager, and a user's store laid out in the states that no request may turn
// into the end of the host: mail from an account that is gone, a message whose file, part index or folder is gone.
// The request tests and the request fuzzer share it.
#pragma once

#include "common/Scrambler.h"
#include "engine/Request.h"
#include "engine/SessionManager.h"
#include "engine/TemplateCache.h"
#include "engine/UserLogonLocks.h"
#include "engine/UserRecord.h"
#include "engine/tests/RequestTestSupport.h"
#include "engine/tests/SessionTestSupport.h"
#include "store/FolderList.h"
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"
#include "testsupport/LoopbackListener.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>

namespace qm::engine::test {

/// The messages LayOutBrokenStore leaves in a user's store, by what is wrong with them.
struct BrokenStore {
    std::uint32_t DraftOfGoneAccount = 0;   ///< a draft in Drafts written from an account that is gone
    std::uint32_t ReceiptOfGoneAccount = 0; ///< a stored message of a gone account that asks for a read receipt
    std::uint32_t HeadersOnly = 0;          ///< only the headers fetched, from an account that is gone
    std::uint32_t FileGone = 0;             ///< stored, but its message file is gone
    std::uint32_t PartsGone = 0;            ///< with attachments; its message file and part index are gone
    std::uint32_t FolderGone = 0;           ///< stored in a folder that is gone, directory and all

    /// Every number above, for the requests that name messages.
    std::vector<std::uint32_t> All() const
    {
        return {DraftOfGoneAccount, ReceiptOfGoneAccount, HeadersOnly, FileGone, PartsGone, FolderGone};
    }
};

/// The response has its head, and a body when it is a page.
inline ::testing::AssertionResult Answered(const RequestResponse& response, bool page = true)
{
    if (response.Text.find("Content-type: ") == std::string::npos || (page && response.Page().empty())) {
        return ::testing::AssertionFailure() << "no answer; the response was \"" << response.Text << "\"";
    }
    return ::testing::AssertionSuccess();
}

class RequestInstallation {
public:
    /// The user every test and the fuzzer works as, and her password.
    static constexpr const char* kUser = "alice";
    static constexpr const char* kPassword = "pw";

    /// ini: more of Quillmail.ini after its directories.
    explicit RequestInstallation(const std::string& ini = "")
        : m_harness("[General]\r\nLogLevel=1\r\nSendReadConfirmations=Yes\r\n" + ini)
        , m_closedPort(ClosedPort())
    {
        namespace fs = std::filesystem;
        const fs::path data = fs::path(QM_SOURCE_DIR) / "data";
        const fs::path dir = m_harness.Settings().Dir();
        fs::copy(data / "Templates", dir / "Templates", fs::copy_options::recursive);
        fs::copy_file(data / "Languages.ini", dir / "Templates" / "Languages.ini");
        fs::copy(data / "SpellCheck", dir / "SpellCheck", fs::copy_options::recursive);
        WriteDomains();
        m_templates = std::make_unique<TemplateCache>((dir / "Templates").string(), true, nullptr);
    }

    /// Writes Domains.Ini: the POP3 server at Port(), the SMTP server at smtpPort (0: Port() too), then more of
    /// [Default:Settings].
    void WriteDomains(int smtpPort = 0, const std::string& more = "") const
    {
        m_harness.Settings().WriteDomains("[Default:Settings]\r\nDefaultDomain=\r\nAutoAccountCreation=No\r\n"
                                          "PopHost=127.0.0.1\r\nPopPort=" +
                                          std::to_string(m_closedPort) + "\r\nSmtpHost=127.0.0.1\r\nSmtpPort=" +
                                          std::to_string(smtpPort != 0 ? smtpPort : m_closedPort) + "\r\n" + more);
    }

    SessionHarness& Harness() { return m_harness; }

    TemplateCache& Templates() { return *m_templates; }

    /// The loopback port of the domain's POP3 and SMTP servers, where nobody listens.
    int Port() const { return m_closedPort; }

    /// Makes the user's directory anew with a User.ini of her password followed by userIni (accounts and the
    /// like).
    void WriteUser(const std::string& userIni = "") const
    {
        const std::filesystem::path dir = m_harness.Settings().UserDir(kUser);
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        std::filesystem::create_directories(dir);
        WriteFile(dir / "User.ini", "[User]\r\nPassword=" + ScramblePassword(kPassword) + "\r\n" + userIni);
    }

    /// A session of the user from 127.0.0.1 with its busy count given back; null when none could be made.
    Session* OpenSession()
    {
        Session* session = m_harness.Manager().Create(kUser, "127.0.0.1");
        if (session != nullptr) {
            session->Unbusy();
        }
        return session;
    }

    /// Ends the session when it is still there (a request may have logged it out).
    void CloseSession(const std::string& id)
    {
        if (Session* session = m_harness.Manager().FindById(id)) {
            (void)m_harness.Manager().Release(session, m_harness.LogTarget());
        }
    }

    /// Runs one request of the session id (the cookie its browser holds sent along): the query string, and a body
    /// of the form type when post is not empty.
    RequestResponse Send(const std::string& id, const std::string& query, const std::string& post = "")
    {
        std::string cookies = "Lang=en; Theme=Globe";
        if (Session* session = m_harness.Manager().FindById(id)) {
            cookies = "Session=" + session->CookieSecret() + "; " + cookies;
            session->Unbusy();
        }
        std::vector<std::string> variables = {"QUERY_STRING=Session=" + id + (query.empty() ? "" : "&" + query),
                                              "HTTP_COOKIE=" + cookies,
                                              "REMOTE_ADDR=127.0.0.1",
                                              "SERVER_NAME=localhost",
                                              "SERVER_PORT=2000",
                                              "SERVER_ADDR=127.0.0.1",
                                              "SCRIPT_NAME=/mail"};
        int in = -1;
        if (post.empty()) {
            variables.emplace_back("REQUEST_METHOD=GET");
        } else {
            const std::string inPath = (m_harness.Settings().Dir() / "request").string();
            WriteFile(inPath, post);
            in = ::open(inPath.c_str(), O_RDONLY | O_CLOEXEC);
            variables.emplace_back("REQUEST_METHOD=POST");
            variables.push_back("CONTENT_LENGTH=" + std::to_string(post.size()));
            variables.emplace_back("CONTENT_TYPE=application/x-www-form-urlencoded");
        }
        std::string environment;
        for (const std::string& variable : variables) {
            environment += variable;
            environment += '\0';
        }
        environment += '\0';
        const std::string outPath = (m_harness.Settings().Dir() / "response").string();
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        {
            RequestServices services = HarnessServices(m_harness, m_templates.get());
            services.LogonLocks = &m_logonLocks;
            Request request(in, out, environment.c_str(), std::move(services));
            request.Run();
        }
        return {ReadFile(outPath)};
    }

    /// Stores a message of the lines given (header lines, a blank line, the body) in folder of the session's store.
    static store::MessageIndexEntry* StoreMessage(Session& session, const std::string& folder,
                                                  const std::vector<std::string>& lines)
    {
        store::MessageBuilder builder(session.User().Messages(), folder);
        if (!builder.Begin(1000, true)) {
            return nullptr;
        }
        for (const std::string& line : lines) {
            builder.AddLine(line);
        }
        return builder.Finish();
    }

    /// Fills the session's store with one message of each kind of BrokenStore and then takes away what each lacks
    /// (the account "Gone" never existed; files and the folder "Old" go from the disk behind the session's back).
    /// The index is saved.
    static BrokenStore LayOutBrokenStore(Session& session)
    {
        namespace fs = std::filesystem;
        BrokenStore numbers;
        store::MessageIndex& index = session.User().Messages();
        store::FolderList& folders = session.User().Folders();
        const auto plain = [](const std::string& subject) {
            return std::vector<std::string>{"From: Bob <bob@example.org>",
                                            "To: alice@example.org",
                                            "Subject: " + subject,
                                            "Message-ID: <" + subject + "@example.org>",
                                            "",
                                            "The text of " + subject + "."};
        };
        auto keep = [](store::MessageIndexEntry* entry, std::uint32_t flags, std::uint32_t& number) {
            if (entry == nullptr) {
                ADD_FAILURE() << "a message of the broken store could not be stored";
                return entry;
            }
            entry->SetMailbox("Gone");
            entry->ChangeFlags(flags, true);
            number = entry->Number();
            return entry;
        };
        keep(StoreMessage(session, "Drafts", plain("draft")), store::MessageFlag::Draft, numbers.DraftOfGoneAccount);
        std::vector<std::string> receipt = plain("receipt");
        receipt.insert(receipt.begin(), "Disposition-Notification-To: bob@example.org");
        keep(StoreMessage(session, "Inbox", receipt), store::MessageFlag::ConfirmReading, numbers.ReceiptOfGoneAccount);
        store::MessageIndexEntry* headers =
                keep(StoreMessage(session, "Inbox", plain("headers")), 0, numbers.HeadersOnly);
        if (headers != nullptr) {
            headers->ChangeFlags(store::MessageFlag::Stored, false);
            std::error_code ignored;
            fs::remove(headers->GetMessagePath(), ignored);
        }
        store::MessageIndexEntry* fileGone =
                keep(StoreMessage(session, "Inbox", plain("file-gone")), 0, numbers.FileGone);
        store::MessageIndexEntry* partsGone = keep(
                StoreMessage(session, "Inbox",
                             {"From: bob@example.org", "Subject: parts-gone", "MIME-Version: 1.0",
                              "Content-Type: multipart/mixed; boundary=\"b\"", "", "--b", "Content-Type: text/plain",
                              "", "The text.", "--b", "Content-Type: image/png; name=\"a.png\"",
                              "Content-Disposition: attachment; filename=\"a.png\"",
                              "Content-Transfer-Encoding: base64", "", "iVBORw0KGgo=", "--b--"}),
                0, numbers.PartsGone);
        (void)folders.Create("Old");
        store::MessageIndexEntry* folderGone =
                keep(StoreMessage(session, "Old", plain("folder-gone")), 0, numbers.FolderGone);
        if (!index.Save()) {
            ADD_FAILURE() << "the broken store's index could not be saved";
        }
        std::error_code ignored;
        if (fileGone != nullptr) {
            fs::remove(fileGone->GetMessagePath(), ignored);
        }
        if (partsGone != nullptr) {
            fs::remove(partsGone->GetMessagePath(), ignored);
            fs::remove(partsGone->GetPartIndexPath(), ignored);
            partsGone->ForgetPartIndex();
        }
        if (folderGone != nullptr) {
            fs::remove_all(fs::path(session.User().Directory()) / "Old", ignored);
            (void)folders.Refresh();
        }
        return numbers;
    }

private:
    // A port on loopback where nobody listens: mail work after a page fails at once.
    static int ClosedPort()
    {
        qm::test::LoopbackListener listener;
        return listener.Port();
    }

    SessionHarness m_harness;
    int m_closedPort;
    std::unique_ptr<TemplateCache> m_templates;
    UserLogonLocks m_logonLocks;
};

} // namespace qm::engine::test

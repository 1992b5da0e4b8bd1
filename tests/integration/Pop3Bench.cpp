// qm_pop3_bench: measures fetching mail from a real POP3 server. Starts dovecot (testsupport/DovecotServer) in a
// temporary directory with generated messages of mixed sizes, then times (1) a fetch of all of them into a fresh
// user store the way a session fetches (every message in full, stored with its index entry, the index saved) and
// (2) a bare POP3 loop that RETRs every message and stores nothing. Prints messages per second and MB/s of each.
//
// Usage: qm_pop3_bench [messages]        (default 1000)
// Trusts the server it starts; everything it writes is under a temporary directory that it removes.
// Exit codes: 0 measured, 1 a run failed, 2 the server could not be set up.
#include "common/IniAccess.h"
#include "common/LogFile.h"
#include "engine/Engine.h"
#include "engine/EngineMessages.h"
#include "engine/MailFetch.h"
#include "engine/SessionMail.h"
#include "engine/UserRecord.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "testsupport/DovecotServer.h"
#include "testsupport/LoopbackListener.h"
#include "testsupport/TempDir.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kPassword = "bench-pw-1";

// Sizes in bytes: mostly small messages, some with attachments, a few large.
std::size_t SizeOf(int n)
{
    static constexpr std::size_t kSizes[] = {1500, 3000, 2200, 6000, 12000, 1800, 40000, 2500, 150000, 4000};
    return kSizes[static_cast<std::size_t>(n) % std::size(kSizes)];
}

std::string MessageText(int n)
{
    std::string text = "From: Sender " + std::to_string(n) + " <sender" + std::to_string(n) +
                       "@example.org>\nTo: alice@example.org\nSubject: benchmark message " + std::to_string(n) +
                       "\nDate: Thu, 10 Dec 2026 12:00:00 +0000\nMessage-ID: <" + std::to_string(n) +
                       "@bench.example.org>\nMIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n\n";
    const std::string line = "Line of the benchmark body, long enough to look like ordinary prose in a message.\n";
    while (text.size() < SizeOf(n)) {
        text += line;
    }
    return text;
}

// A bare POP3 conversation over a blocking socket: logs on, RETRs every message, counts the bytes, stores nothing.
class BareClient {
public:
    explicit BareClient(int port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<std::uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_ok = m_fd >= 0 && ::connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }

    ~BareClient()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }

    BareClient(const BareClient&) = delete;
    BareClient& operator=(const BareClient&) = delete;

    // Returns the bytes of message data received, or -1 when the conversation failed.
    long long RetrieveAll(const std::string& user, const std::string& password, int& messages)
    {
        if (!m_ok || !Ok(ReadLine()) || !Command("USER " + user) || !Command("PASS " + password)) {
            return -1;
        }
        if (!Send("STAT\r\n")) {
            return -1;
        }
        const std::string stat = ReadLine();
        if (!Ok(stat)) {
            return -1;
        }
        messages = std::atoi(stat.c_str() + 4);
        long long bytes = 0;
        for (int n = 1; n <= messages; ++n) {
            if (!Command("RETR " + std::to_string(n))) {
                return -1;
            }
            for (;;) {
                const std::string line = ReadLine();
                if (m_failed) {
                    return -1;
                }
                if (line == ".") {
                    break;
                }
                bytes += static_cast<long long>(line.size()) + 2;
            }
        }
        return Command("QUIT") ? bytes : -1;
    }

private:
    static bool Ok(const std::string& line) { return line.rfind("+OK", 0) == 0; }

    bool Send(const std::string& text) const
    {
        return ::send(m_fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<long>(text.size());
    }

    bool Command(const std::string& command) { return Send(command + "\r\n") && Ok(ReadLine()); }

    std::string ReadLine()
    {
        for (;;) {
            const std::size_t lf = m_buffer.find('\n', m_at);
            if (lf != std::string::npos) {
                std::string line = m_buffer.substr(m_at, (lf > m_at && m_buffer[lf - 1] == '\r' ? lf - 1 : lf) - m_at);
                m_at = lf + 1;
                return line;
            }
            m_buffer.erase(0, m_at);
            m_at = 0;
            char chunk[65536];
            const long n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                m_failed = true;
                return {};
            }
            m_buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }

    int m_fd = -1;
    bool m_ok = false;
    bool m_failed = false;
    std::string m_buffer;
    std::size_t m_at = 0;
};

void Report(const char* what, int messages, long long bytes, Clock::duration took)
{
    const double seconds = std::chrono::duration<double>(took).count();
    std::printf("%-34s %5d messages %8.1f MB  %7.3f s  %8.0f messages/s  %7.1f MB/s\n", what, messages,
                static_cast<double>(bytes) / 1e6, seconds, messages / seconds,
                static_cast<double>(bytes) / 1e6 / seconds);
}

} // namespace

int main(int argc, char** argv)
{
    using namespace qm;
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    test::TempDir dir("qm-pop3-bench");
    test::DovecotServer server(dir.Path(), "alice", kPassword);
    if (const std::string failed = server.Prepare(); !failed.empty()) {
        (void)std::fprintf(stderr, "qm_pop3_bench: %s\n", failed.c_str());
        return 2;
    }
    long long total = 0;
    for (int n = 0; n < count; ++n) {
        const std::string text = MessageText(n);
        // Counted as on the wire and in the store: CR LF line ends.
        total += static_cast<long long>(text.size() +
                                        static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')));
        if (!server.AddMessage("3000" + std::to_string(n) + ".M1P1.bench", text)) {
            (void)std::fprintf(stderr, "qm_pop3_bench: cannot write message %d\n", n);
            return 2;
        }
    }
    if (const std::string failed = server.Start(); !failed.empty()) {
        (void)std::fprintf(stderr, "qm_pop3_bench: %s\n", failed.c_str());
        return 2;
    }

    // The bare loop first: it also brings the server's index and the page cache up to date for both runs.
    int bareMessages = 0;
    const Clock::time_point bareStart = Clock::now();
    const long long bareBytes = BareClient(server.Port()).RetrieveAll("alice", kPassword, bareMessages);
    const Clock::duration bareTook = Clock::now() - bareStart;
    if (bareBytes < 0) {
        (void)std::fprintf(stderr, "qm_pop3_bench: the bare POP3 loop failed\n");
        return 1;
    }

    const fs::path root = dir.Path() / "engine";
    fs::create_directories(root / "Users");
    fs::create_directories(root / "Temp");
    const std::string ini = (root / "Quillmail.ini").string();
    std::ofstream(ini) << "[Directories]\r\nBaseDir=" << root.string() << "\r\nUserDir=" << root.string()
                       << "/Users\r\nTempDir=" << root.string() << "/Temp\r\n[PopClient]\r\nRetrCutoff=0\r\n";
    SetMainIniPath(ini);
    engine::SetDomainsIniPath((root / "Domains.Ini").string());
    engine::RegisterEngineMessages();
    LogFile log((root / "Temp").c_str(), "bench.log", "", "", 0);

    int stored = 0;
    Clock::duration fetchTook{};
    {
        auto record = engine::UserRecord::Open("alice");
        if (!record) {
            (void)std::fprintf(stderr, "qm_pop3_bench: no user record\n");
            return 2;
        }
        engine::UserRecord& user = **record;
        store::MailHostAccount& account = user.MailHosts().NewAccount();
        (void)account.SetMailbox("bench");
        (void)account.SetHost("127.0.0.1");
        account.SetPort(server.Port());
        (void)account.SetUser("alice");
        (void)account.SetPass(kPassword);
        account.SetActive(true);
        const Clock::time_point start = Clock::now();
        const engine::FetchReport report =
                engine::FetchNewMailForUser(user, engine::Pop3RunSite{nullptr, nullptr, &log});
        const bool saved = engine::SaveMessageIndex(user, log);
        fetchTook = Clock::now() - start;
        stored = report.Retrieved;
        if (!report.Failures.empty() || !saved || stored != count) {
            (void)std::fprintf(stderr, "qm_pop3_bench: the fetch stored %d of %d messages\n", stored, count);
            return 1;
        }
    }
    Report("fetch into a fresh user store", stored, total, fetchTook);
    Report("bare POP3 RETR loop (no store)", bareMessages, bareBytes, bareTook);
    SetMainIniPath("");
    return 0;
}

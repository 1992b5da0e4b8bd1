// qm_pages_bench: times the List and Message pages through the main web server. Lays out a test installation (the
// server hosting the engine library, the Globe theme, the demo account) with an inbox of generated messages written
// through the store's own builder and index, starts the server on a free loopback port, logs on once and drives
// wrk with concurrent keep-alive clients of that session against the List page and the Message page. Samples the
// server's proportional set size (PSS) while wrk runs and prints requests per second, p50/p99 latency and the peak.
//
// Then it runs logon cycles one after the other (the Logon page, the logon, Main, Folders, List, Logout) and prints
// cycles per second, the server's CPU per cycle and its PSS after the first and the last cycle.
//
// Usage: qm_pages_bench [messages] [seconds] [clients] [cycles]      (default 10000, 10, 8, 200; seconds 0 runs only
//        the logon cycles)
// Everything it writes is under a temporary directory that it removes.
// Exit codes: 0 measured, 1 a run failed or a page was wrong, 2 the installation could not be set up.
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"
#include "tests/pages/PageInstallation.h"
#include "testsupport/TempDir.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using qm::store::MessageIndex;
using qm::store::MessageIndexEntry;

// Distinct messages stored through the builder; the rest of the inbox are copies of them with headers of their own.
constexpr int kDistinct = 40;

// What the List page shows of the messages (their subjects) and the Message page of the body.
constexpr const char* kListNeedle = "Benchmark message";
constexpr const char* kMessageNeedle = "ordinary prose of a mail body";

std::vector<std::string> MessageLines(int n)
{
    std::vector<std::string> lines = {
            "From: Sender " + std::to_string(n) + " <sender" + std::to_string(n) + "@example.org>",
            "To: Demo User <demo@example.org>",
            "Subject: Benchmark message " + std::to_string(n) + " about the quarterly figures",
            "Date: Thu, 10 Dec 2026 12:" + std::to_string(10 + n % 50) + ":00 +0000",
            "Message-ID: <" + std::to_string(n) + "@bench.example.org>",
            "MIME-Version: 1.0",
            "Content-Type: text/plain; charset=us-ascii",
            "",
    };
    for (int i = 0; i < 12 + n % 20; ++i) {
        lines.push_back("Line " + std::to_string(i) + " of message " + std::to_string(n) +
                        ": ordinary prose of a mail body, long enough to wrap on a narrow page.");
    }
    return lines;
}

// Fills the demo user's inbox with count messages: kDistinct stored by the builder, the others copied from them by
// the index (message file and part index copied) and given a sender, subject, date and flags of their own.
bool BuildInbox(const std::string& userDir, int count)
{
    fs::create_directories(fs::path(userDir) / "Inbox");
    MessageIndex index(userDir);
    std::vector<MessageIndexEntry*> originals;
    for (int n = 1; n <= std::min(count, kDistinct); ++n) {
        MessageIndexEntry* entry = qm::store::StoreMessageLines(index, "Inbox", MessageLines(n));
        if (entry == nullptr) {
            (void)std::fprintf(stderr, "qm_pages_bench: message %d was not stored\n", n);
            return false;
        }
        originals.push_back(entry);
    }
    for (int n = kDistinct + 1; n <= count; ++n) {
        MessageIndexEntry* copy =
                index.CopyToFolder(originals[static_cast<std::size_t>(n) % originals.size()], "Inbox");
        if (copy == nullptr) {
            (void)std::fprintf(stderr, "qm_pages_bench: message %d was not copied\n", n);
            return false;
        }
        copy->SetFrom("Sender " + std::to_string(n % 997) + " <sender" + std::to_string(n % 997) + "@example.org>");
        copy->SetSubject("Benchmark message " + std::to_string(n) + " about the quarterly figures");
        copy->SetDate(1765000000 + static_cast<std::int64_t>(n) * 3600);
        copy->SetRead(n % 3 != 0);
    }
    return index.Save();
}

// The cookies a response set, as one Cookie header value ("a=1; b=2").
std::string CookiesOf(const qm::test::CurlReply& reply)
{
    std::string cookies;
    for (const std::string& set : reply.Headers("Set-Cookie")) {
        if (!cookies.empty()) {
            cookies += "; ";
        }
        cookies += set.substr(0, set.find(';'));
    }
    return cookies;
}

long long PssKb(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Pss:", 0) == 0) {
            return std::atoll(line.c_str() + 4);
        }
    }
    return -1;
}

// The CPU time the process has used, user and system, in seconds.
double CpuSeconds(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The fields after the command name, which is in parentheses and may hold blanks: state is field 3, utime 14.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n >= 14) {
            ticks += std::atof(field.c_str());
        }
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string RunCommand(const std::string& command, int& status)
{
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        status = -1;
        return out;
    }
    char chunk[4096];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        out.append(chunk, n);
    }
    status = ::pclose(pipe);
    return out;
}

// wrk's latency in milliseconds from its text ("812.00us", "2.31ms", "1.02s").
double Milliseconds(const std::string& text)
{
    const double value = std::atof(text.c_str());
    if (text.find("us") != std::string::npos) {
        return value / 1000;
    }
    if (text.find("ms") != std::string::npos) {
        return value;
    }
    return value * 1000;
}

std::string Match(const std::string& text, const char* pattern)
{
    std::smatch match;
    const std::regex expression(pattern);
    return std::regex_search(text, match, expression) ? match[1].str() : std::string();
}

struct Figures {
    bool Ok = false;
    double Rps = 0;
    double P50 = 0;
    double P99 = 0;
    long long PeakPssKb = 0;
    long long Requests = 0;
    double CpuUsPerRequest = 0; // the server's CPU time (user and system) per request
};

// Runs wrk against url with the session's cookies, sampling the server's PSS meanwhile. A response that is not 200
// or lacks needle (plain text without quotes or backslashes) is counted as a failure.
Figures Measure(const std::string& url, const std::string& needle, const std::string& cookies, int pid, int seconds,
                int clients, const std::string& scratch)
{
    Figures figures;
    // The sampler reads the server's PSS every 20 ms until the runs are over; the stop wakes it at once.
    std::mutex stopLock;
    std::condition_variable stopped;
    bool running = true;
    std::atomic<long long> peak{PssKb(pid)};
    std::thread sampler([&] {
        std::unique_lock lock(stopLock);
        do {
            const long long pss = PssKb(pid);
            if (pss > peak.load()) {
                peak.store(pss);
            }
        } while (!stopped.wait_for(lock, std::chrono::milliseconds(20), [&] { return !running; }));
    });
    // wrk counts statuses other than 2xx and 3xx; the script counts what is not the whole page besides.
    const std::string script = scratch + "/check.lua";
    {
        std::ofstream lua(script);
        lua << "local bad = 0\n"
               "function response(status, headers, body)\n"
               "  if status ~= 200 or not string.find(body, \"</html>\", 1, true) or\n"
               "     not string.find(body, \""
            << needle
            << "\", 1, true) then bad = bad + 1 end\n"
               "end\n"
               "function done(summary, latency, requests)\n"
               "  io.write(string.format(\"incomplete pages: %d\\n\", bad))\n"
               "end\n";
    }
    const std::string command = "wrk -t" + std::to_string(clients) + " -c" + std::to_string(clients) + " -d" +
                                std::to_string(seconds) + "s --latency -s '" + script + "' -H 'Cookie: " + cookies +
                                "' '" + url + "' 2>&1";
    int status = 0;
    const double cpuBefore = CpuSeconds(pid);
    const std::string out = RunCommand(command, status);
    const double cpu = CpuSeconds(pid) - cpuBefore;
    {
        std::lock_guard lock(stopLock);
        running = false;
    }
    stopped.notify_all();
    sampler.join();
    figures.PeakPssKb = peak.load();
    const std::string rps = Match(out, R"(Requests/sec:\s+([0-9.]+))");
    const std::string p50 = Match(out, R"(\n\s+50%\s+([0-9.]+[mu]?s))");
    const std::string p99 = Match(out, R"(\n\s+99%\s+([0-9.]+[mu]?s))");
    const std::string requests = Match(out, R"(\n\s+([0-9]+) requests in)");
    const std::string bad = Match(out, R"(incomplete pages: ([0-9]+))");
    const bool errors = out.find("Non-2xx") != std::string::npos || out.find("Socket errors") != std::string::npos;
    if (status != 0 || rps.empty() || p50.empty() || p99.empty() || bad != "0" || errors) {
        (void)std::fprintf(stderr, "qm_pages_bench: wrk failed or pages were wrong:\n%s\n", out.c_str());
        return figures;
    }
    figures.Ok = true;
    figures.Rps = std::atof(rps.c_str());
    figures.P50 = Milliseconds(p50);
    figures.P99 = Milliseconds(p99);
    figures.Requests = std::atoll(requests.c_str());
    figures.CpuUsPerRequest = figures.Requests > 0 ? cpu * 1e6 / static_cast<double>(figures.Requests) : 0;
    return figures;
}

void Print(const char* page, const Figures& f)
{
    std::printf(
            "%-13s %9.0f requests/s   p50 %6.2f ms   p99 %6.2f ms   server CPU %5.0f us a request   (%lld requests)\n",
            page, f.Rps, f.P50, f.P99, f.CpuUsPerRequest, f.Requests);
}

struct CycleFigures {
    bool Ok = false;
    int Cycles = 0;
    double CyclesPerSecond = 0;
    double CpuMsPerCycle = 0;
    long long PssAfterFirstKb = 0;
    long long PssAfterLastKb = 0;
};

// One logon cycle as a user makes it: the Logon page, the logon, Main, Folders, List and Logout. False when a page
// is not the one expected.
bool LogonCycle(const qm::test::PageInstallation& install)
{
    const qm::test::CurlReply page = qm::test::Curl({install.MailUrl()});
    if (page.Status != 200 || page.Body.find("Password") == std::string::npos) {
        (void)std::fprintf(stderr, "qm_pages_bench: the Logon page failed (%u)\n", page.Status);
        return false;
    }
    const qm::test::CurlReply logon =
            qm::test::Curl({"--data-urlencode", std::string("User=") + qm::test::kDemoUser, "--data-urlencode",
                            std::string("Password=") + qm::test::kDemoPassword, install.MailUrl("View=Main")});
    const std::string id = qm::test::FindSessionId(logon.Body);
    const std::string cookie = "Cookie: " + CookiesOf(logon);
    if (logon.Status != 200 || id.empty()) {
        (void)std::fprintf(stderr, "qm_pages_bench: the logon failed (%u):\n%s\n", logon.Status, logon.Body.c_str());
        return false;
    }
    for (const char* view : {"Main", "Folders", "List", "Logout"}) {
        const qm::test::CurlReply reply =
                qm::test::Curl({"-H", cookie, install.MailUrl("Session=" + id + "&View=" + view)});
        const bool listed = std::string_view(view) != "List" || reply.Body.find(kListNeedle) != std::string::npos;
        if (reply.Status != 200 || !listed) {
            (void)std::fprintf(stderr, "qm_pages_bench: the %s page failed (%u):\n%s\n", view, reply.Status,
                               reply.Body.c_str());
            return false;
        }
    }
    return true;
}

// Runs cycles logon cycles one after the other, timing them and the server's CPU, and reads the server's PSS after
// the first and after the last.
CycleFigures MeasureLogonCycles(const qm::test::PageInstallation& install, int pid, int cycles)
{
    CycleFigures figures;
    const double cpuBefore = CpuSeconds(pid);
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < cycles; ++n) {
        if (!LogonCycle(install)) {
            return figures;
        }
        if (n == 0) {
            figures.PssAfterFirstKb = PssKb(pid);
        }
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.PssAfterLastKb = PssKb(pid);
    figures.Ok = true;
    figures.Cycles = cycles;
    figures.CyclesPerSecond = wall > 0 ? cycles / wall : 0;
    figures.CpuMsPerCycle = (CpuSeconds(pid) - cpuBefore) * 1000 / cycles;
    return figures;
}

int Count(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

int RunCycles(const qm::test::PageInstallation& install, int pid, int cycles, int count)
{
    if (cycles == 0) {
        return 0;
    }
    const CycleFigures f = MeasureLogonCycles(install, pid, cycles);
    if (!f.Ok) {
        return 1;
    }
    std::printf("logon cycle   %9.2f cycles/s     server CPU %6.2f ms a cycle   (%d cycles, inbox of %d; Logon page, "
                "logon, Main, Folders, List, Logout)\n",
                f.CyclesPerSecond, f.CpuMsPerCycle, f.Cycles, count);
    std::printf("server PSS after the first cycle %.1f MiB, after the last %.1f MiB\n",
                static_cast<double>(f.PssAfterFirstKb) / 1024.0, static_cast<double>(f.PssAfterLastKb) / 1024.0);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
    const int seconds = argc > 2 ? std::max(0, std::atoi(argv[2])) : 10;
    const int clients = argc > 3 ? std::max(1, std::atoi(argv[3])) : 8;
    const int cycles = argc > 4 ? std::max(0, std::atoi(argv[4])) : 200;

    qm::test::PageInstallation install;
    install.Web().AddWebServerLine("MaxConnectionsPerAddress=" + std::to_string(clients + 8));
    if (!BuildInbox(install.Path("Users/demo"), count)) {
        return 2;
    }
    if (!install.Start()) {
        (void)std::fprintf(stderr, "qm_pages_bench: the server did not start: %s\n", install.Server().Errors().c_str());
        return 2;
    }
    const int pid = install.Server().Pid();
    std::printf("server pid %d (for a profiler to attach to)\n", pid);
    (void)std::fflush(stdout);

    const qm::test::CurlReply logon =
            qm::test::Curl({"--data-urlencode", std::string("User=") + qm::test::kDemoUser, "--data-urlencode",
                            std::string("Password=") + qm::test::kDemoPassword, install.MailUrl("View=Main")});
    const std::string id = qm::test::FindSessionId(logon.Body);
    const std::string cookies = CookiesOf(logon);
    if (logon.Status != 200 || id.empty() || cookies.find("Session=") == std::string::npos) {
        (void)std::fprintf(stderr, "qm_pages_bench: the logon failed (%u):\n%s\n%s\n", logon.Status, logon.Head.c_str(),
                           logon.Body.c_str());
        return 2;
    }

    // The pages must be the real ones: the List page with a full page of the inbox, the Message page with the text.
    const std::string listUrl = install.MailUrl("Session=" + id + "&View=List");
    const qm::test::CurlReply list = qm::test::Curl({"-H", "Cookie: " + cookies, listUrl});
    const int rows = Count(list.Body, "View=Message&amp;Number=");
    if (list.Status != 200 || rows == 0 || list.Body.find(kListNeedle) == std::string::npos) {
        (void)std::fprintf(stderr, "qm_pages_bench: the List page holds no messages (%u):\n%s\n", list.Status,
                           list.Body.c_str());
        return 1;
    }
    const std::string number = Match(list.Body, R"(View=Message&amp;Number=([0-9]+))");
    const std::string messageUrl = install.MailUrl("Session=" + id + "&View=Message&Number=" + number);
    const qm::test::CurlReply message = qm::test::Curl({"-H", "Cookie: " + cookies, messageUrl});
    if (message.Status != 200 || message.Body.find(kMessageNeedle) == std::string::npos) {
        (void)std::fprintf(stderr, "qm_pages_bench: the Message page holds no message (%u):\n%s\n", message.Status,
                           message.Body.c_str());
        return 1;
    }

    std::printf("inbox: %d messages, List page of %d rows (%zu bytes), Message page %s (%zu bytes)\n", count, rows,
                list.Body.size(), number.c_str(), message.Body.size());
    if (seconds == 0) {
        return RunCycles(install, pid, cycles, count) == 0 && install.Stop() ? 0 : 1;
    }
    std::printf("wrk: %d threads, %d keep-alive connections of one session, %d s a page\n", clients, clients, seconds);
    qm::test::TempDir scratch;
    const Figures listFigures = Measure(listUrl, kListNeedle, cookies, pid, seconds, clients, scratch.Path().string());
    if (!listFigures.Ok) {
        return 1;
    }
    Print("List page", listFigures);
    const Figures messageFigures =
            Measure(messageUrl, kMessageNeedle, cookies, pid, seconds, clients, scratch.Path().string());
    if (!messageFigures.Ok) {
        return 1;
    }
    Print("Message page", messageFigures);
    std::printf("server peak PSS: %.1f MiB\n",
                static_cast<double>(std::max(listFigures.PeakPssKb, messageFigures.PeakPssKb)) / 1024.0);
    if (cycles > 0 && RunCycles(install, pid, cycles, count) != 0) {
        return 1;
    }
    if (install.EngineLog().find("Unable to") != std::string::npos) {
        (void)std::fprintf(stderr, "qm_pages_bench: the engine log holds failed tags:\n%s\n",
                           install.EngineLog().c_str());
        return 1;
    }
    return install.Stop() ? 0 : 1;
}

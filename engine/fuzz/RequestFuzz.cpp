// libFuzzer target for the engine's request handling: whole requests of one session, with the shipped templates,
// on a test installation. The input: one byte that picks the user's store (its value modulo 4: no account and no
// mail; no account and the messages of BrokenStore, whose account, file, part index or folder is gone; two accounts
// and those messages; the same with the domain keeping the first account in step), then up to kMaxRequests lines,
// each the form fields of one request as a browser sends them ("View=List&Delete=1&Number=3"); a line that begins
// "POST " sends them as a form body. Every input starts from a fresh store and session. After the lines the session
// (or the Logon page, once a line ended it) must still be served; a request that ends the process, a sanitizer
// report, or a host that no longer answers is a finding.
//
// The fuzzer must reach nothing outside the machine: mail accounts may only name the closed loopback port of the
// installation, so every field that sets an account's host or port is given those before the request is sent.
#include "common/CgiInput.h"
#include "common/StringUtil.h"
#include "engine/tests/RequestInstallation.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using qm::engine::test::RequestInstallation;

// Requests of one input taken at most; the rest of the input is ignored.
constexpr int kMaxRequests = 6;

RequestInstallation& TheInstallation()
{
    static RequestInstallation s_installation;
    return s_installation;
}

// The line's fields with every account host and port replaced by the installation's loopback address and closed
// port, named as the request parser names them (decoded, without an image button's ".x").
std::string Confined(std::string_view line, int port)
{
    std::string out;
    while (true) {
        const std::size_t end = line.find('&');
        const std::string_view field = line.substr(0, end);
        const std::string_view rawName = field.substr(0, field.find('='));
        const std::string name = qm::DecodeFormName(rawName);
        if (qm::StartsWithNoCase(name, "MailHost")) {
            out.append(rawName).append("=127.0.0.1");
        } else if (qm::StartsWithNoCase(name, "MailPort")) {
            out.append(rawName).append("=").append(std::to_string(port));
        } else {
            out.append(field);
        }
        if (end == std::string_view::npos) {
            return out;
        }
        out.push_back('&');
        line.remove_prefix(end + 1);
    }
}

// Lays out the user's store in the state the selector picks and opens her session; its id, or "" when none.
std::string Prepare(RequestInstallation& installation, unsigned selector)
{
    const unsigned state = selector % 4;
    installation.WriteDomains(0, state == 3 ? "SyncSystemMailbox=Yes\r\n" : "");
    const std::string port = std::to_string(installation.Port());
    installation.WriteUser(state < 2 ? ""
                                     : "[MailHost1]\r\nMailbox=alice\r\nEMail=alice@example.org\r\nHost=127.0.0.1\r\n"
                                       "Port=" +
                                               port +
                                               "\r\nDefault=Yes\r\nActive=Yes\r\n[MailHost2]\r\nMailbox=Office\r\n"
                                               "EMail=office@example.org\r\nHost=127.0.0.1\r\nPort=" +
                                               port + "\r\nColor=Style2\r\nActive=No\r\n");
    qm::engine::Session* session = installation.OpenSession();
    if (session == nullptr) {
        return {};
    }
    if (state != 0) {
        (void)RequestInstallation::LayOutBrokenStore(*session);
    }
    return session->Id();
}

// Ends every session of the user, those the input opened by logging on again too.
void CloseSessions(RequestInstallation& installation)
{
    qm::engine::SessionManager& sessions = installation.Harness().Manager();
    while (qm::engine::Session* session = sessions.FindByUser(RequestInstallation::kUser)) {
        if (!sessions.Release(session, installation.Harness().LogTarget())) {
            session->Unbusy();
            static_cast<void>(std::fprintf(stderr, "RequestFuzz: a session stayed busy after its requests\n"));
            std::abort();
        }
    }
}

} // namespace

// The entry that libFuzzer, or the replay main of the test builds, calls for every input.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    RequestInstallation& installation = TheInstallation();
    const std::string id = Prepare(installation, data[0]);
    if (id.empty()) {
        static_cast<void>(std::fprintf(stderr, "RequestFuzz: no session could be opened\n"));
        std::abort();
    }
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    for (int n = 0; n < kMaxRequests && !rest.empty(); ++n) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        const bool post = line.starts_with("POST ");
        if (post) {
            line.remove_prefix(5);
        }
        const std::string fields = Confined(line, installation.Port());
        (void)installation.Send(id, post ? "" : fields, post ? fields : "");
    }
    // The host goes on: the session, or the Logon page when a request ended it, is served.
    const qm::engine::test::RequestResponse next = installation.Send(id, "View=Main");
    if (next.Text.find("Content-type: text/html") == std::string::npos || next.Page().empty()) {
        static_cast<void>(
                std::fprintf(stderr, "RequestFuzz: the next request got no page: \"%s\"\n", next.Text.c_str()));
        std::abort();
    }
    CloseSessions(installation);
    return 0;
}

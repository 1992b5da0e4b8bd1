// libFuzzer target for the template compiler and interpreter. The input: a flags byte (bit 0: the page has a
// session with a user; the rest picks the view), the request's query string up to the first NUL, then the
// template text, which is upper-cased and compiled as the loaders do and rendered against the test templates,
// texts and settings. Faults show as sanitizer reports; a page that does not end is caught by libFuzzer's -timeout.
#include "engine/tests/PageTestSupport.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace {

using qm::engine::test::FakePage;
using qm::engine::test::FakeSession;
using qm::engine::test::FakeStoreUser;
using qm::engine::test::TemplateFixture;
using qm::engine::test::WriteFile;

constexpr int kViewCount = 19; // the view ids of Views.h, 0 to 18

// The installation every input is rendered in: made once, removed when the fuzzer ends.
struct Installation {
    Installation()
    {
        Fixture.WriteDomains("[d.com:Settings]\r\nPopHost=pop.d.com\r\nFlag=Yes\r\n"
                             "[Default:UserDefaults]\r\nStyle=Normal\r\nAdvancedCompose=No\r\n");
        const std::string userDir = Fixture.Path("Users/alice");
        std::filesystem::create_directories(userDir + "/Inbox");
        WriteFile(userDir + "/User.ini", "[User]\r\nFullName=Alice <A>\r\nStyle=Large\r\n");
        Session.Source = {"d.com", userDir + "/User.ini"};
        Session.UserObject = std::make_unique<FakeStoreUser>(userDir, Cache.get());
    }

    TemplateFixture Fixture;
    std::unique_ptr<qm::engine::TemplateCache> Cache = Fixture.MakeCache(true);
    FakeSession Session;
};

Installation& TheInstallation()
{
    static Installation s_installation;
    return s_installation;
}

} // namespace

// The entry that libFuzzer, or the replay main of the test builds, calls for every input.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    Installation& installation = TheInstallation();
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t nul = input.find('\0');
    const std::string_view query = input.substr(0, nul);
    const std::string_view text = nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);

    FakePage page(*installation.Cache, {"QUERY_STRING=" + std::string(query), "SCRIPT_NAME=/cgi/qm",
                                        "SERVER_NAME=mail.d.com", "SERVER_PORT=8080", "HTTP_COOKIE=User=alice"});
    if ((data[0] & 1U) != 0) {
        page.SessionObject = &installation.Session;
    }
    page.ViewId = (data[0] >> 1) % kViewCount;
    static_cast<void>(page.Render(std::string(text)));
    return 0;
}

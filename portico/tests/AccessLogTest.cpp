// The admin server's access log: the line's zone offset, control bytes, and rotation by size.
#include "portico/AccessLog.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

namespace qm::portico {
namespace {

// Sets TZ for the test and restores it after.
class ScopedZone {
public:
    explicit ScopedZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ")) { // NOLINT(concurrency-mt-unsafe): the test's one thread
            m_old = old;
        }
        setenv("TZ", zone, 1); // NOLINT(concurrency-mt-unsafe)
        tzset();
    }

    ~ScopedZone()
    {
        if (m_old) {
            setenv("TZ", m_old->c_str(), 1); // NOLINT(concurrency-mt-unsafe)
        } else {
            unsetenv("TZ"); // NOLINT(concurrency-mt-unsafe)
        }
        tzset();
    }

    ScopedZone(const ScopedZone&) = delete;
    ScopedZone& operator=(const ScopedZone&) = delete;

private:
    std::optional<std::string> m_old;
};

TEST(PorticoAccessLogTest, LineCarriesTheLocalTimeWithItsOffset)
{
    struct Case {
        const char* Zone;
        const char* Want;
    };

    const Case cases[] = {
            {"UTC0", "10.0.0.1 - bob [10/Dec/2026:13:00:00 +0000] \"GET / HTTP/1.0\" 200 1234\r\n"},
            {"EST5", "10.0.0.1 - bob [10/Dec/2026:08:00:00 -0500] \"GET / HTTP/1.0\" 200 1234\r\n"},
            {"IST-5:30", "10.0.0.1 - bob [10/Dec/2026:18:30:00 +0530] \"GET / HTTP/1.0\" 200 1234\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Zone);
        ScopedZone zone(c.Zone);
        EXPECT_EQ(FormatAccessLine({"10.0.0.1", "bob", 1796907600, "GET / HTTP/1.0", 200, 1234}), c.Want);
    }
    ScopedZone zone("UTC0");
    // No user and no request line give "-"; a control byte cannot break the line.
    EXPECT_EQ(FormatAccessLine({"10.0.0.1", "", 1796907600, "", 400, 0}),
              "10.0.0.1 - - [10/Dec/2026:13:00:00 +0000] \"-\" 400 0\r\n");
    EXPECT_EQ(FormatAccessLine({"10.0.0.1", "", 1796907600, "GET /\x1b[2J HTTP/1.0", 404, 5}),
              "10.0.0.1 - - [10/Dec/2026:13:00:00 +0000] \"GET /?[2J HTTP/1.0\" 404 5\r\n");
}

TEST(PorticoAccessLogTest, RotatesBySizeOnlyWithALimit)
{
    test::TempDir dir("qm-portico-log");
    AccessLog log;
    ASSERT_TRUE(log.Open(dir.Path().string()));
    const std::string request(600, 'x');
    for (int i = 0; i < 3; ++i) {
        log.Write({"10.0.0.1", "", 1796907600, request, 200, 0});
    }
    log.Rotate(0);
    EXPECT_FALSE(std::filesystem::exists(dir / "http-admin.old"));
    log.Rotate(1);
    EXPECT_TRUE(std::filesystem::exists(dir / "http-admin.old"));
    EXPECT_EQ(std::filesystem::file_size(dir / "http-admin.log"), 0u);
    log.Write({"10.0.0.1", "", 1796907600, "GET / HTTP/1.0", 200, 0});
    log.Rotate(1); // below the limit: stays
    EXPECT_GT(std::filesystem::file_size(dir / "http-admin.log"), 0u);
}

} // namespace
} // namespace qm::portico

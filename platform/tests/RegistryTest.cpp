#include "platform/Registry.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace qm::platform {
namespace {

using qm::test::ReadBytes;
using qm::test::TempDir;

class RegistryTest : public ::testing::Test {
protected:
    // Only the test's own thread runs while the environment changes.
    void SetUp() override
    {
        ASSERT_EQ(setenv("QUILLMAIL_REGISTRY", m_file.c_str(), 1), 0); // NOLINT(concurrency-mt-unsafe)
    }

    void TearDown() override
    {
        unsetenv("QUILLMAIL_REGISTRY"); // NOLINT(concurrency-mt-unsafe)
    }

    TempDir m_dir;
    std::string m_file = m_dir / "etc/quillmail/registry.ini";
};

TEST_F(RegistryTest, StoresValuesUnderKeyPaths)
{
    EXPECT_EQ(RegistryFilePath(), m_file);
    EXPECT_FALSE(RegGetString("SOFTWARE\\Quillmail", "BaseDir"));

    ASSERT_TRUE(RegSetString("SOFTWARE\\Quillmail", "BaseDir", "/opt/quillmail"));
    ASSERT_TRUE(RegSetString("SOFTWARE\\FaxServer", "Spool", "/var/spool/fax"));
    EXPECT_EQ(RegGetString("software\\QUILLMAIL", "basedir").value_or("-"), "/opt/quillmail");
    EXPECT_EQ(RegGetString("SOFTWARE\\FaxServer", "Spool").value_or("-"), "/var/spool/fax");
    EXPECT_FALSE(RegGetString("SOFTWARE\\Quillmail", "Other"));
    EXPECT_EQ(ReadBytes(m_file), "[SOFTWARE\\Quillmail]\r\nBaseDir=/opt/quillmail\r\n\r\n"
                                 "[SOFTWARE\\FaxServer]\r\nSpool=/var/spool/fax\r\n");

    EXPECT_FALSE(RegSetString("SOFTWARE\\Quillmail", "BaseDir", "/x\n[Evil]"));
    EXPECT_EQ(RegGetString("SOFTWARE\\Quillmail", "BaseDir").value_or("-"), "/opt/quillmail");
}

TEST_F(RegistryTest, FallsBackToTheSystemFile)
{
    unsetenv("QUILLMAIL_REGISTRY"); // NOLINT(concurrency-mt-unsafe)
    EXPECT_EQ(RegistryFilePath(), "/etc/quillmail/registry.ini");
    ASSERT_EQ(setenv("QUILLMAIL_REGISTRY", "", 1), 0); // NOLINT(concurrency-mt-unsafe)
    EXPECT_EQ(RegistryFilePath(), "/etc/quillmail/registry.ini");
}

} // namespace
} // namespace qm::platform

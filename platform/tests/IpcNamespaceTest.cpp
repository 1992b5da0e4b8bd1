#include "platform/IpcNamespace.h"

#include "platform/tests/IpcTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace qm {
namespace {

namespace fs = std::filesystem;

using ipctest::ScopedEnv;

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "qm-ns-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }

    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

bool IsHashedName(const std::string& name)
{
    return name.size() == 13 && name[0] == 'h' && name.find_first_not_of("0123456789abcdef", 1) == std::string::npos;
}

TEST(IpcNamespaceTest, ObjectNamesCarryTheNamespace)
{
    TempDir runtime;
    ScopedEnv dir(kRuntimeDirEnv, runtime.Path().c_str());
    const IpcNamespace ns = IpcNamespace::Named("site_1");
    EXPECT_EQ(ns.ShmName("sessions"), "/qm.site_1.sessions");
    EXPECT_EQ(ns.SocketName("wnd.00000001"), "qm.site_1.wnd.00000001");
    auto lock = ns.LockPath("engine");
    ASSERT_TRUE(lock) << lock.error().Message;
    EXPECT_EQ(*lock, runtime.Path() + "/engine.site_1.lock");
}

TEST(IpcNamespaceTest, UnusableNamesAreReplacedByTheirHash)
{
    const std::string longest(kMaxIpcNamespaceLength, 'a');

    struct Case {
        std::string Name;
        bool Kept;
    };

    const Case cases[] = {
            {"abc-DEF_09", true}, {longest, true}, {longest + "a", false}, {"", false},
            {"a/b", false},       {"a.b", false},  {"a b", false},         {"\xc3\xa9t\xc3\xa9", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("name \"" + c.Name + "\"");
        const std::string got = IpcNamespace::Named(c.Name).Name();
        if (c.Kept) {
            EXPECT_EQ(got, c.Name);
        } else {
            EXPECT_TRUE(IsHashedName(got)) << "got " << got << ", want h and 12 hex digits";
            EXPECT_EQ(got, IpcNamespace::Named(c.Name).Name()) << "the hash must be stable";
        }
    }
    EXPECT_NE(IpcNamespace::Named("a/b").Name(), IpcNamespace::Named("a/c").Name());
}

TEST(IpcNamespaceTest, EnvironmentOverridesTheInstallationDirectory)
{
    {
        ScopedEnv ns(kIpcNamespaceEnv, "pinned");
        EXPECT_EQ(IpcNamespace::ForInstallDir("/opt/quillmail").Name(), "pinned");
    }
    {
        ScopedEnv ns(kIpcNamespaceEnv, "../evil");
        EXPECT_EQ(IpcNamespace::ForInstallDir("/opt/quillmail").Name(), IpcNamespace::Named("../evil").Name());
        EXPECT_TRUE(IsHashedName(IpcNamespace::ForInstallDir("/opt/quillmail").Name()));
    }
    std::string derived;
    {
        ScopedEnv ns(kIpcNamespaceEnv, nullptr);
        derived = IpcNamespace::ForInstallDir("/opt/quillmail").Name();
    }
    {
        ScopedEnv ns(kIpcNamespaceEnv, "");
        EXPECT_EQ(IpcNamespace::ForInstallDir("/opt/quillmail").Name(), derived) << "an empty value counts as unset";
    }
}

TEST(IpcNamespaceTest, SpellingsOfOneDirectoryShareANamespace)
{
    ScopedEnv ns(kIpcNamespaceEnv, nullptr);
    TempDir top;
    const std::string install = top.Path() + "/install";
    const std::string other = top.Path() + "/other";
    fs::create_directory(install);
    fs::create_directory(other);
    fs::create_directory_symlink(install, top.Path() + "/link");

    const std::string want = IpcNamespace::ForInstallDir(install).Name();
    EXPECT_EQ(want.size(), 12U);
    EXPECT_EQ(want.find_first_not_of("0123456789abcdef"), std::string::npos) << "got " << want;
    for (const std::string& spelling :
         {install + "/", top.Path() + "/link", top.Path() + "/./other/../install", install + "/missing/.."}) {
        SCOPED_TRACE(spelling);
        EXPECT_EQ(IpcNamespace::ForInstallDir(spelling).Name(), want);
    }
    EXPECT_NE(IpcNamespace::ForInstallDir(other).Name(), want);
}

TEST(IpcNamespaceTest, RuntimeDirectoryFromTheEnvironmentIsCreated)
{
    TempDir top;
    const std::string dir = top.Path() + "/a/b";
    ScopedEnv env(kRuntimeDirEnv, dir.c_str());
    auto got = IpcRuntimeDir(top.Path() + "/system", top.Path() + "/fallback");
    ASSERT_TRUE(got) << got.error().Message;
    EXPECT_EQ(*got, dir);
    EXPECT_TRUE(fs::is_directory(dir));
}

TEST(IpcNamespaceTest, RuntimeDirectoryPrefersTheSystemDirectory)
{
    ScopedEnv env(kRuntimeDirEnv, nullptr);
    TempDir top;
    const std::string system = top.Path() + "/system";
    fs::create_directory(system);
    auto got = IpcRuntimeDir(system, top.Path() + "/fallback");
    ASSERT_TRUE(got) << got.error().Message;
    EXPECT_EQ(*got, system);
    EXPECT_FALSE(fs::exists(top.Path() + "/fallback"));
}

TEST(IpcNamespaceTest, FallbackDirectoryIsPrivate)
{
    ScopedEnv env(kRuntimeDirEnv, nullptr);
    TempDir top;
    const std::string unusable = top.Path() + "/no/such/parent";
    const std::string fallback = top.Path() + "/fallback";

    auto made = IpcRuntimeDir(unusable, fallback);
    ASSERT_TRUE(made) << made.error().Message;
    EXPECT_EQ(*made, fallback);

    struct stat st {};

    ASSERT_EQ(::stat(fallback.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700U);
    auto again = IpcRuntimeDir(unusable, fallback);
    EXPECT_TRUE(again) << "an existing private directory is used again";

    // A directory others may write, or a link planted in its place, is refused.
    ASSERT_EQ(::chmod(fallback.c_str(), 0777), 0);
    auto open = IpcRuntimeDir(unusable, fallback);
    ASSERT_FALSE(open);
    EXPECT_EQ(open.error().Code, EPERM);

    const std::string target = top.Path() + "/target";
    fs::create_directory(target);
    ASSERT_EQ(::chmod(target.c_str(), 0700), 0);
    const std::string link = top.Path() + "/link";
    fs::create_directory_symlink(target, link);
    auto linked = IpcRuntimeDir(unusable, link);
    ASSERT_FALSE(linked);
    EXPECT_EQ(linked.error().Code, EPERM);
}

} // namespace
} // namespace qm

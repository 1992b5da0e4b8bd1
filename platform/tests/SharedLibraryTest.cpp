#include "platform/SharedLibrary.h"

#include "platform/ProgramPath.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace qm {
namespace {

namespace fs = std::filesystem;

class SharedLibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "qmlib.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }

    fs::path m_dir;
};

TEST_F(SharedLibraryTest, MissingFileFailsWithTheLoaderText)
{
    auto library = SharedLibrary::Open((m_dir / "Nothing.so").string());
    ASSERT_FALSE(library);
    EXPECT_EQ(library.error().Code, ENOENT);
    EXPECT_NE(library.error().Message.find("Nothing.so"), std::string::npos) << library.error().Message;
}

TEST_F(SharedLibraryTest, FileThatIsNoLibraryFails)
{
    const fs::path path = m_dir / "Text.so";
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("not a library\n", file);
    std::fclose(file);
    auto library = SharedLibrary::Open(path.string());
    ASSERT_FALSE(library);
    EXPECT_NE(library.error().Code, 0);
    EXPECT_FALSE(library.error().Message.empty());
}

TEST_F(SharedLibraryTest, BindsExportedFunctionsAndReportsMissingOnes)
{
    auto library = SharedLibrary::Open(QM_TEST_MODULE);
    ASSERT_TRUE(library) << library.error().Message;
    auto answer = library->Function<int (*)()>("QmTestModuleAnswer");
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(library->Function<int (*)()>("QmTestModuleNoSuchFunction"), nullptr);
    library->Close();
    EXPECT_FALSE(library->IsOpen());
    EXPECT_EQ(library->Symbol("QmTestModuleAnswer"), nullptr);
}

TEST_F(SharedLibraryTest, ModuleDirectoryIsTheDirectoryItWasLoadedFromWithLinksKept)
{
    const fs::path link = m_dir / "Linked.so";
    fs::create_symlink(QM_TEST_MODULE, link);
    auto library = SharedLibrary::Open(link.string());
    ASSERT_TRUE(library) << library.error().Message;
    auto address = library->Function<const void* (*)()>("QmTestModuleAddress");
    ASSERT_NE(address, nullptr);
    auto dir = ModuleDirectoryOf(address());
    ASSERT_TRUE(dir) << dir.error().Message;
    EXPECT_EQ(*dir, m_dir.string());
}

TEST_F(SharedLibraryTest, ModuleDirectoryOfTheProgramIsItsDirectory)
{
    static int inProgram = 0;
    auto dir = ModuleDirectoryOf(&inProgram);
    auto programDir = ProgramDirectory();
    ASSERT_TRUE(dir) << dir.error().Message;
    ASSERT_TRUE(programDir);
    EXPECT_EQ(fs::canonical(*dir), fs::canonical(*programDir));
}

TEST_F(SharedLibraryTest, AddressOutsideEveryModuleFails)
{
    int onStack = 0;
    EXPECT_FALSE(ModuleDirectoryOf(&onStack));
}

} // namespace
} // namespace qm

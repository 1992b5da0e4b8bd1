#include "store/CvUserBinding.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace qm::store {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// A companion application directory of its own with a copy of the library in it (a copy, not a link: the loader
// would take a link to an already loaded file for that file, with its first directory).
class CvUserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "qmcv.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_appDir = pattern;
        fs::copy_file(QM_CVUSER_LIBRARY, m_appDir / kCvUserLibraryName);
        WriteFile(m_appDir / "Corvid.ini", "[Domains]\r\nDefault=Example.com\r\nIP.10.0.0.7=other.org\r\n");
    }

    void TearDown() override
    {
        UnloadCVUser();
        std::error_code ignored;
        fs::remove_all(m_appDir, ignored);
    }

    std::string LibraryPath() const { return (m_appDir / kCvUserLibraryName).string(); }

    std::unique_ptr<CvUserLibrary> Load(CvReload reload = CvReload::Yes)
    {
        auto library = CvUserLibrary::Load(LibraryPath(), reload, CvMissing::Refuse);
        EXPECT_TRUE(library) << library.error().Message;
        return library ? std::move(*library) : nullptr;
    }

    // Adds an account the way the engine does: raw fields at their offsets, then filter and add.
    static bool AddUser(const CvUserLibrary& library, const char* mailbox, const char* domain, const char* fullName,
                        const char* password)
    {
        CvUserInfo record;
        library.InitUserInfo(&record);
        char* raw = reinterpret_cast<char*>(&record);
        std::strncpy(raw + 77, mailbox, 30);
        std::strncpy(raw + 108, domain, 45);
        std::strncpy(raw + 154, fullName, 30);
        std::strncpy(raw + 276, password, 20);
        library.FilterUserInfo(&record);
        return library.AddUser(&record, 0);
    }

    fs::path m_appDir;
};

TEST_F(CvUserTest, BindsEveryEntryPointAndReadsUsersOnlyWhenAskedToReload)
{
    WriteFile(m_appDir / "Users.ini", "[bob@example.com]\r\nFullName=Bob\r\nPassword=pw\r\n");
    {
        auto library = Load(CvReload::No);
        ASSERT_TRUE(library);
        EXPECT_EQ(library->BoundCount(), 15);
        EXPECT_EQ(library->GetByEmail("bob@example.com"), kCvNoUser) << "the list is read by CV_ReloadUsers";
    }
    auto library = Load(CvReload::Yes);
    ASSERT_TRUE(library);
    const CvHandle handle = library->GetByEmail("Bob@Example.COM");
    EXPECT_NE(handle, kCvNoUser);
    EXPECT_TRUE(library->ValidateUser(handle, "pw"));
    EXPECT_FALSE(library->ValidateUser(handle, "PW"));
    library->GetFree(handle);
    EXPECT_FALSE(library->ValidateUser(handle, "pw")) << "a freed handle names nobody";
}

TEST_F(CvUserTest, BadPathFailsWithTheLoaderText)
{
    auto library =
            CvUserLibrary::Load((m_appDir / "Missing" / kCvUserLibraryName).string(), CvReload::Yes, CvMissing::Allow);
    ASSERT_FALSE(library);
    EXPECT_EQ(library.error().Code, ENOENT);
    EXPECT_NE(library.error().Message.find("Missing"), std::string::npos) << library.error().Message;
}

TEST_F(CvUserTest, MissingEntryPointRefusedUnlessAllowed)
{
    auto refused = CvUserLibrary::Load(QM_PARTIAL_CVUSER_LIBRARY, CvReload::Yes, CvMissing::Refuse);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().Code, kCvMissingEntryPoint);

    auto allowed = CvUserLibrary::Load(QM_PARTIAL_CVUSER_LIBRARY, CvReload::Yes, CvMissing::Allow);
    ASSERT_TRUE(allowed) << allowed.error().Message;
    const CvUserLibrary& library = **allowed;
    EXPECT_EQ(library.BoundCount(), 3);
    EXPECT_EQ(library.GetByEmail("known@example.com"), 7);
    // Unbound entry points are never called: their wrappers answer "no" and leave buffers empty.
    char buffer[16] = "garbage";
    EXPECT_FALSE(library.GetPassword(7, buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "");
    EXPECT_FALSE(library.ValidateUser(7, "x"));
    EXPECT_EQ(library.GetByAlias("known", ""), kCvNoUser);
    EXPECT_FALSE(library.AddUser(nullptr, 0));
}

TEST_F(CvUserTest, ReloadIsCalledOnceWhenAskedAndNeverOtherwise)
{
    auto count = [](const char* path) {
        auto probe = SharedLibrary::Open(path);
        EXPECT_TRUE(probe);
        return probe->Function<int (*)()>("CvTestReloadCount")();
    };
    const int before = count(QM_PARTIAL_CVUSER_LIBRARY);
    {
        auto library = CvUserLibrary::Load(QM_PARTIAL_CVUSER_LIBRARY, CvReload::No, CvMissing::Allow);
        ASSERT_TRUE(library);
        EXPECT_EQ(count(QM_PARTIAL_CVUSER_LIBRARY), before);
        auto reloaded = CvUserLibrary::Load(QM_PARTIAL_CVUSER_LIBRARY, CvReload::Yes, CvMissing::Allow);
        ASSERT_TRUE(reloaded);
        EXPECT_EQ(count(QM_PARTIAL_CVUSER_LIBRARY), before + 1);
    }
}

TEST_F(CvUserTest, RecordOffsetsRoundTripThroughAddAndGetUserInfo)
{
    auto library = Load();
    ASSERT_TRUE(library);
    ASSERT_TRUE(AddUser(*library, "Carol", "Example.com", "Carol Jones", "secret"));

    const CvHandle handle = library->GetByEmail("carol@example.com");
    ASSERT_NE(handle, kCvNoUser);
    CvUserInfo record;
    std::memset(&record, 0x5a, sizeof record);
    ASSERT_TRUE(library->GetUserInfo(handle, &record));
    const char* raw = reinterpret_cast<const char*>(&record);
    EXPECT_STREQ(raw + 0, "carol@example.com");
    EXPECT_STREQ(raw + 77, "carol");
    EXPECT_STREQ(raw + 108, "example.com");
    EXPECT_STREQ(raw + 154, "Carol Jones");
    EXPECT_STREQ(raw + 276, "secret");
    EXPECT_TRUE(library->GetTesseraBit(handle, 1));
    library->GetFree(handle);
}

TEST_F(CvUserTest, FilterCompletesTheRecordWithinItsFields)
{
    auto library = Load();
    ASSERT_TRUE(library);
    CvUserInfo record;
    library->InitUserInfo(&record);
    std::memset(record.Mailbox, 'm', sizeof record.Mailbox); // no NUL at all
    std::memset(record.FullName, 'f', sizeof record.FullName);
    library->FilterUserInfo(&record);
    EXPECT_EQ(std::string(record.Mailbox), std::string(30, 'm'));
    EXPECT_EQ(std::string(record.FullName), std::string(30, 'f'));
    EXPECT_STREQ(record.Domain, "example.com") << "the default domain, folded";
    EXPECT_EQ(std::string(record.EMail), std::string(30, 'm') + "@example.com");
}

TEST_F(CvUserTest, AddedUserHasAMailboxDirectoryEndingInSlashAndCanBeDeleted)
{
    auto library = Load();
    ASSERT_TRUE(library);
    ASSERT_TRUE(AddUser(*library, "dave", "", "Dave", "pw"));
    EXPECT_FALSE(AddUser(*library, "Dave", "example.com", "Again", "pw")) << "the address is taken";

    const CvHandle handle = library->GetByAlias("dave", "");
    ASSERT_NE(handle, kCvNoUser);
    char dir[260];
    ASSERT_TRUE(library->GetMailDir(handle, dir, sizeof dir));
    EXPECT_EQ(std::string(dir), (m_appDir / "Mail" / "example.com" / "dave").string() + "/");
    EXPECT_TRUE(fs::is_directory(dir));
    char tooSmall[8] = "garbage";
    EXPECT_FALSE(library->GetMailDir(handle, tooSmall, sizeof tooSmall));
    EXPECT_STREQ(tooSmall, "") << "half a path would name another directory";
    library->GetFree(handle);

    ASSERT_TRUE(library->DeleteUser("dave@example.com", "dave@example.com", kCvDeleteAll));
    EXPECT_EQ(library->GetByEmail("dave@example.com"), kCvNoUser);
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_FALSE(library->DeleteUser("dave@example.com", "", kCvDeleteAll));
}

TEST_F(CvUserTest, NamesThatCouldLeaveTheMailRootAreRefused)
{
    auto library = Load();
    ASSERT_TRUE(library);
    const char* const mailboxes[] = {"../x", "a/b", ".hidden", "a..b", "", "a b"};
    for (const char* mailbox : mailboxes) {
        SCOPED_TRACE(mailbox);
        EXPECT_FALSE(AddUser(*library, mailbox, "example.com", "X", "pw"));
    }
    EXPECT_FALSE(AddUser(*library, "x", "../etc", "X", "pw"));
    EXPECT_FALSE(fs::exists(m_appDir / "Mail" / "etc"));
}

TEST_F(CvUserTest, PasswordsAreSetAndCopiedOutWithinTheBuffer)
{
    auto library = Load();
    ASSERT_TRUE(library);
    ASSERT_TRUE(AddUser(*library, "erin", "example.com", "Erin", "first"));
    const CvHandle handle = library->GetByEmail("erin@example.com");
    ASSERT_TRUE(library->SetPassword(handle, "second"));
    EXPECT_TRUE(library->ValidateUser(handle, "second"));
    EXPECT_FALSE(library->SetPassword(handle, "line\r\nbreak"));
    EXPECT_FALSE(library->SetPassword(handle, std::string(21, 'p').c_str())) << "20 characters at most";
    char buffer[4];
    EXPECT_FALSE(library->GetPassword(handle, buffer, sizeof buffer)) << "cut, so not the password";
    EXPECT_STREQ(buffer, "sec");
    char whole[80];
    EXPECT_TRUE(library->GetPassword(handle, whole, sizeof whole));
    EXPECT_STREQ(whole, "second");
    EXPECT_NE(ReadFile(m_appDir / "Users.ini").find("Password=second"), std::string::npos);
    EXPECT_EQ(fs::status(m_appDir / "Users.ini").permissions() & fs::perms::others_read, fs::perms::none);
    library->GetFree(handle);
}

TEST_F(CvUserTest, AliasesWebAccessAndChangesMadeByOthersAreSeen)
{
    auto library = Load();
    ASSERT_TRUE(library);
    EXPECT_EQ(library->GetByEmail("frank@example.com"), kCvNoUser);
    WriteFile(m_appDir / "Users.ini",
              "[frank@example.com]\r\nPassword=pw\r\nWebAccess=No\r\nAliases=f@example.com, Boss@Example.com\r\n");
    const CvHandle handle = library->GetByEmail("boss@example.com");
    ASSERT_NE(handle, kCvNoUser) << "a file changed by another process is read again";
    EXPECT_FALSE(library->GetTesseraBit(handle, 1));
    EXPECT_FALSE(library->GetTesseraBit(handle, 2));
    CvUserInfo record;
    ASSERT_TRUE(library->GetUserInfo(handle, &record));
    EXPECT_STREQ(record.EMail, "frank@example.com");
    library->GetFree(handle);
    EXPECT_NE(library->GetByAlias("f", "example.com"), kCvNoUser);
}

TEST_F(CvUserTest, DomainByAddressFallsBackToTheDefault)
{
    auto library = Load();
    ASSERT_TRUE(library);
    char domain[45];
    ASSERT_TRUE(library->GetDomainNameUsingIP("", domain, sizeof domain));
    EXPECT_STREQ(domain, "example.com");
    ASSERT_TRUE(library->GetDomainNameUsingIP("10.0.0.7", domain, sizeof domain));
    EXPECT_STREQ(domain, "other.org");
    ASSERT_TRUE(library->GetDomainNameUsingIP("10.0.0.8", domain, sizeof domain));
    EXPECT_STREQ(domain, "example.com");
}

TEST_F(CvUserTest, ProcessWideLibraryStaysUsableWhileHeldAfterUnload)
{
    EXPECT_EQ(LoadedCVUser(), nullptr);
    auto missing = LoadCVUser((m_appDir / "nothing.so").string().c_str(), CvReload::Yes, CvMissing::Allow);
    EXPECT_FALSE(missing);
    EXPECT_EQ(LoadedCVUser(), nullptr);

    ASSERT_TRUE(LoadCVUser(LibraryPath().c_str(), CvReload::Yes, CvMissing::Allow));
    auto held = LoadedCVUser();
    ASSERT_NE(held, nullptr);
    UnloadCVUser();
    EXPECT_EQ(LoadedCVUser(), nullptr);
    char domain[45];
    EXPECT_TRUE(held->GetDomainNameUsingIP("", domain, sizeof domain)) << "still loaded while held";
}

} // namespace
} // namespace qm::store

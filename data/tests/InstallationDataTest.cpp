// The installation data: `cmake --install` lays it out where the programs look for it and keeps the
// administrator's files when it runs again, the shipped defaults name files that ship, and each file is in the
// form its reader expects.
#include "common/MimeTypeTable.h"
#include "data/tests/DataFiles.h"
#include "platform/IniFile.h"
#include "testsupport/TestInstallation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

// The test installation the data is installed into (by `cmake --install` of the build tree's data component).
class TempPrefix : public TestInstallation {
public:
    const fs::path& Path() const { return Dir(); }
};

void WriteFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Where every shipped file lands, relative to the installation directory.
std::map<std::string, fs::path> ExpectedInstallation()
{
    std::map<std::string, fs::path> files;
    for (const char* tree : {"Templates", "HTML", "SpellCheck"}) {
        for (const auto& entry : fs::recursive_directory_iterator(DataDir() / tree)) {
            if (entry.is_regular_file()) {
                files[fs::relative(entry.path(), DataDir()).string()] = entry.path();
            }
        }
    }
    files["Templates/Languages.ini"] = DataDir() / "Languages.ini";
    for (const char* name : {"MimeTypes.cfg", "Quillmail.ini", "Domains.Ini", "AddrBook.txt", "Dictionary.txt"}) {
        files[name] = DataDir() / name;
    }
    // The web administration: its pages and settings beside the program in cgi-bin, the editor's descriptors
    // beside the files they describe.
    const fs::path admin = DataDir() / "AdminCGI";
    for (const auto& entry : fs::directory_iterator(admin / "Templates")) {
        files["cgi-bin/Templates/" + entry.path().filename().string()] = entry.path();
    }
    for (const char* name : {"CGI.ini", "FileList.dat"}) {
        files[std::string("cgi-bin/") + name] = admin / name;
    }
    for (const char* name : {"Quillmail.dsc", "Domains.dsc", "User.dsc"}) {
        files[name] = admin / name;
    }
    return files;
}

TEST(InstallationDataTest, InstallLaysOutEveryFileWhereTheProgramsLook)
{
    TempPrefix prefix;
    ASSERT_TRUE(prefix.InstallComponent("data"));
    const std::map<std::string, fs::path> expected = ExpectedInstallation();
    for (const auto& [relative, source] : expected) {
        SCOPED_TRACE(relative);
        const fs::path installed = prefix.Path() / relative;
        ASSERT_TRUE(fs::is_regular_file(installed)) << "not installed";
        EXPECT_EQ(ReadWholeFile(installed), ReadWholeFile(source)) << "installed bytes differ from the source";
    }
    std::set<std::string> extra;
    for (const auto& entry : fs::recursive_directory_iterator(prefix.Path())) {
        const std::string relative = fs::relative(entry.path(), prefix.Path()).string();
        if (entry.is_regular_file() && !expected.contains(relative)) {
            extra.insert(relative);
        }
    }
    EXPECT_TRUE(extra.empty()) << "installed but not expected, for example " << *extra.begin();
    for (const char* directory : {"Users", "Logs", "Temp"}) {
        EXPECT_TRUE(fs::is_directory(prefix.Path() / directory)) << directory << " not made";
    }
    // The settings files can hold passwords: nobody but their owner may read them.
    for (const char* secret : {"Quillmail.ini", "Domains.Ini"}) {
        const fs::perms perms = fs::status(prefix.Path() / secret).permissions();
        EXPECT_EQ(perms & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write) << secret;
    }
    // What makes the theme usable for the engine, and the help page of the English pages.
    EXPECT_TRUE(fs::is_regular_file(prefix.Path() / "Templates/Globe/Logon.html"));
    EXPECT_TRUE(fs::is_regular_file(prefix.Path() / "HTML/help/index.html"));
}

TEST(InstallationDataTest, InstallingAgainKeepsTheAdministratorsFiles)
{
    TempPrefix prefix;
    ASSERT_TRUE(prefix.InstallComponent("data"));
    const std::vector<std::string> kept = {"Quillmail.ini",  "Domains.Ini",     "AddrBook.txt",
                                           "Dictionary.txt", "cgi-bin/CGI.ini", "cgi-bin/FileList.dat"};
    for (const std::string& name : kept) {
        WriteFile(prefix.Path() / name, "edited " + name + "\n");
    }
    const fs::path logon = prefix.Path() / "Templates/Globe/Logon.html";
    WriteFile(logon, "stale");
    ASSERT_TRUE(prefix.InstallComponent("data"));
    for (const std::string& name : kept) {
        EXPECT_EQ(ReadWholeFile(prefix.Path() / name), "edited " + name + "\n") << name << " was replaced";
    }
    EXPECT_EQ(ReadWholeFile(logon), ReadWholeFile(ThemeDir() / "Logon.html"))
            << "want the templates brought up to date";
}

// The user defaults of Domains.Ini name a language, a theme and a style; each must be one that ships.
TEST(InstallationDataTest, DefaultsNameShippedFiles)
{
    const platform::IniDocument domains = platform::IniDocument::Parse(ReadWholeFile(DataDir() / "Domains.Ini"));
    const std::string theme = domains.Get("Default:UserDefaults", "Theme").value_or("");
    const std::string style = domains.Get("Default:UserDefaults", "Style").value_or("");
    const std::string lang = domains.Get("Default:UserDefaults", "Lang").value_or("");
    EXPECT_EQ(theme, "Globe");
    EXPECT_EQ(style, "Normal");
    EXPECT_TRUE(fs::is_regular_file(DataDir() / "Templates" / theme / "Logon.html"));
    EXPECT_TRUE(fs::is_regular_file(DataDir() / "HTML" / theme / (style + ".css")));
    EXPECT_NE(FindSection(ParseLanguages(ReadWholeFile(DataDir() / "Languages.ini")), lang), nullptr)
            << "Languages.ini has no section for the default language " << lang;
    for (const char* section : {"Default:Settings", "Default:UserOverrides", "Default:UserDefaults"}) {
        EXPECT_TRUE(domains.HasSection(section)) << section;
    }
}

// Every line of a settings file is blank, a comment, a section header or an entry with a key; the engine uses a
// directory written in the file as it stands, so none may be relative.
TEST(InstallationDataTest, SettingsFilesAreWellFormed)
{
    for (const char* name : {"Quillmail.ini", "Domains.Ini"}) {
        SCOPED_TRACE(name);
        const std::string text = ReadWholeFile(DataDir() / name);
        ASSERT_FALSE(text.empty());
        int number = 0;
        for (const std::string& line : SplitLines(text)) {
            ++number;
            const bool blank = line.find_first_not_of(" \t") == std::string::npos;
            const bool comment = !blank && line.front() == ';';
            const bool header = !blank && line.front() == '[' && line.back() == ']';
            const bool entry =
                    !blank && !comment && !header && line.find('=') != std::string::npos && line.find('=') > 0;
            EXPECT_TRUE(blank || comment || header || entry) << "line " << number << ": " << line;
        }
        const platform::IniDocument ini = platform::IniDocument::Parse(text);
        for (const auto& [key, value] : ini.Entries("Directories")) {
            EXPECT_TRUE(value.empty() || value.front() == '/') << "[Directories] " << key << " is relative";
        }
    }
    const platform::IniDocument engine = platform::IniDocument::Parse(ReadWholeFile(DataDir() / "Quillmail.ini"));
    const std::string port = engine.Get("WebServer", "Port").value_or("");
    EXPECT_FALSE(port.empty());
    EXPECT_EQ(port.find_first_not_of("0123456789"), std::string::npos) << "[WebServer] Port " << port;
}

class MimeTypesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_table.Load((DataDir() / "MimeTypes.cfg").string().c_str())); }

    MimeTypeTable m_table;
};

// The web server serves the static files with the types of MimeTypes.cfg.
TEST_F(MimeTypesTest, CoverEveryStaticFile)
{
    for (const auto& entry : fs::recursive_directory_iterator(DataDir() / "HTML")) {
        if (entry.is_regular_file()) {
            const std::string extension = entry.path().extension().string().substr(1);
            EXPECT_STRNE(m_table.TypeForExtension(extension.c_str()), MimeTypeTable::kDefaultType)
                    << entry.path() << " would be served without its type";
        }
    }
}

// Attachments get their usual types, and stored parts their usual extensions.
TEST_F(MimeTypesTest, MapCommonTypesBothWays)
{
    struct TypeCase {
        const char* Extension; // lower case: also the extension wanted for the type
        const char* Type;
    };

    const TypeCase types[] = {
            {"css", "text/css"},
            {"gif", "image/gif"},
            {"html", "text/html"},
            {"js", "text/javascript"},
            {"svg", "image/svg+xml"},
            {"jpg", "image/jpeg"},
            {"txt", "text/plain"},
            {"pdf", "application/pdf"},
            {"eml", "message/rfc822"},
            {"png", "image/png"},
            {"zip", "application/zip"},
            {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    };
    for (const TypeCase& c : types) {
        SCOPED_TRACE(c.Extension);
        EXPECT_STREQ(m_table.TypeForExtension(c.Extension), c.Type);
        EXPECT_STREQ(m_table.ExtensionForType(c.Type), c.Extension) << "want the usual extension first";
    }
    EXPECT_STREQ(m_table.TypeForExtension("JPG"), "image/jpeg");
}

// One line per type with its extensions, and one type per extension: a second line for an extension would never
// be found.
TEST_F(MimeTypesTest, ListEachExtensionOnce)
{
    std::set<std::string> extensions;
    for (int i = 0; i < m_table.Entries().Count(); ++i) {
        const char* extension = m_table.Entries().Item(i)->Name();
        EXPECT_TRUE(extensions.insert(extension).second) << extension << " is listed twice";
    }
    for (const std::string& line : SplitLines(ReadWholeFile(DataDir() / "MimeTypes.cfg"))) {
        EXPECT_NE(line.find('/'), std::string::npos) << "not a type: " << line;
        EXPECT_NE(line.find(' '), std::string::npos) << "a type without extensions: " << line;
    }
}

TEST(InstallationDataTest, AddWordImageIsASmallGif)
{
    const std::string gif = ReadWholeFile(DataDir() / "HTML/Globe/addword.gif");
    ASSERT_GE(gif.size(), 26U);
    EXPECT_EQ(gif.substr(0, 6), "GIF89a");
    const auto byte = [&](std::size_t i) {
        return static_cast<unsigned>(static_cast<unsigned char>(gif[i]));
    };
    EXPECT_EQ(byte(6) | (byte(7) << 8), 16U) << "width";
    EXPECT_EQ(byte(8) | (byte(9) << 8), 16U) << "height";
    EXPECT_NE(gif.find('\x2C'), std::string::npos) << "no image descriptor";
    EXPECT_EQ(gif.back(), '\x3B') << "no trailer";
}

// The global address book holds only its comment, which the reader skips; the global word list is empty (a comment
// would be a word).
TEST(InstallationDataTest, GlobalAddressBookAndDictionaryStartEmpty)
{
    for (const std::string& line : SplitLines(ReadWholeFile(DataDir() / "AddrBook.txt"))) {
        ASSERT_FALSE(line.empty());
        EXPECT_TRUE(line.front() == ';' || line.front() == '#') << "an entry in the shipped book: " << line;
    }
    EXPECT_EQ(fs::file_size(DataDir() / "Dictionary.txt"), 0U);
}

// The account colours offered on the accounts page are classes of the style sheet.
TEST(InstallationDataTest, AccountColoursHaveTheirStyles)
{
    const std::string css = ReadWholeFile(DataDir() / "HTML/Globe/Normal.css");
    const std::string hosts = ReadWholeFile(ThemeDir() / "Options-Hosts.html");
    int offered = 0;
    for (int n = 1; n <= 8; ++n) {
        const std::string name = "Style" + std::to_string(n);
        if (hosts.find("value=\"" + name + "\"") != std::string::npos) {
            ++offered;
            EXPECT_NE(css.find("." + name + " "), std::string::npos) << name << " has no rule in Normal.css";
        }
    }
    EXPECT_EQ(offered, 8);
}

TEST(InstallationDataTest, TextFilesAreUtf8)
{
    for (const auto& entry : fs::recursive_directory_iterator(DataDir())) {
        const std::string extension = entry.path().extension().string();
        if (entry.is_regular_file() && (extension == ".html" || extension == ".css" || extension == ".ini" ||
                                        extension == ".Ini" || extension == ".cfg" || extension == ".txt")) {
            EXPECT_TRUE(IsValidUtf8(ReadWholeFile(entry.path()))) << entry.path();
        }
    }
}

} // namespace
} // namespace qm::test

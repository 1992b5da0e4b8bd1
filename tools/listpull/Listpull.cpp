#include "tools/listpull/Listpull.h"

#include "common/IniAccess.h"
#include "common/Scrambler.h"
#include "common/UserName.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "platform/Path.h"

#include <algorithm>
#include <array>
#include <climits>

namespace qm::tools {
namespace {

constexpr const char* kUserIniName = "User.ini";

bool HasControlByte(std::string_view text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

bool HasBlank(std::string_view text)
{
    return text.find(' ') != std::string_view::npos;
}

// The leading decimal number of text, as atoi reads it ("abc" is 0, "2x" is 2), held to the range of int.
int LeadingNumber(std::string_view text)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = std::min<long long>(value * 10 + (text[i] - '0'), INT_MAX);
    }
    return static_cast<int>(negative ? -value : value);
}

// A port is 1 to 65535, written in decimal digits only.
bool IsValidPort(std::string_view text)
{
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    const int value = LeadingNumber(text);
    return value >= 1 && value <= 65535;
}

bool OptionsAreValid(const ListpullOptions& options)
{
    if (options.DomainName.empty() || options.DomainName.size() > kMaxDomainName ||
        HasControlByte(options.DomainName) || HasBlank(options.DomainName)) {
        return false;
    }
    if (options.Host.size() > kMaxHost || HasControlByte(options.Host) || HasBlank(options.Host)) {
        return false;
    }
    if (!options.Port.empty() && !IsValidPort(options.Port)) {
        return false;
    }
    if (options.MailboxName.size() > kMaxMailboxName || HasControlByte(options.MailboxName)) {
        return false;
    }
    return options.DeleteOption >= 0 && options.DeleteOption <= 2;
}

// Stored form of the web password: kept as it stands with a marker ('\' domain, '-' plain, '*' directory logon),
// else scrambled.
std::string StoredWebPassword(const std::string& password)
{
    if (!password.empty() && (password[0] == '\\' || password[0] == '-' || password[0] == '*')) {
        return password;
    }
    return ScramblePassword(password);
}

// Stored form of the POP password: empty for a '\' form, kept with '-', else scrambled.
std::string StoredPopPassword(const std::string& password)
{
    if (!password.empty() && password[0] == '\\') {
        return {};
    }
    if (!password.empty() && password[0] == '-') {
        return password;
    }
    return ScramblePassword(password);
}

struct Counts {
    int Read = 0;
    int Created = 0;
    int Existing = 0;
    int Refused = 0;
};

// Makes the account of one entry, or says why not.
void MakeAccount(const ListpullEntry& entry, const ListpullOptions& options, const std::string& userDir, std::FILE* out,
                 const ListpullHooks& hooks, Counts& counts)
{
    // An account exists whatever the case of its name: "Bob" and "bob" are one.
    if (platform::ResolveNoCase(userDir, entry.Account)) {
        ++counts.Existing;
        return;
    }
    const std::string accountDir = platform::PathJoin(userDir, entry.Account);
    if (!platform::MakeDirectory(accountDir)) {
        (void)std::fprintf(out, "Could not create account directory : %s\n", entry.Account.c_str());
        return;
    }
    if (hooks.AccountDirectoryMade) {
        hooks.AccountDirectoryMade(accountDir);
    }
    const std::array<platform::IniChange, 10> changes{{
            {"User", "Password", StoredWebPassword(entry.WebPassword)},
            {"MailHost1", "Mailbox", options.MailboxName},
            {"MailHost1", "FullName", entry.FullName},
            {"MailHost1", "Email", entry.Account + "@" + options.DomainName},
            {"MailHost1", "Host", options.Host},
            {"MailHost1", "User", entry.PopUser},
            {"MailHost1", "Pass", StoredPopPassword(entry.PopPassword)},
            {"MailHost1", "Port", options.Port},
            {"MailHost1", "Active", "Yes"},
            {"MailHost1", "Delete", std::to_string(options.DeleteOption)},
    }};
    // One rewrite through a temporary file; a directory left without its settings would count as an existing
    // account at every later run, so it goes again.
    const std::string userIni = platform::PathJoin(accountDir, kUserIniName);
    if (!platform::IniWriteMany(userIni, changes, platform::IniLinks::Refuse)) {
        (void)platform::DeleteDirectoryTree(accountDir);
        (void)std::fprintf(out, "Could not write the settings of account : %s\n", entry.Account.c_str());
        return;
    }
    ++counts.Created;
}

// Reads one line into line (without its line end, a CR before the LF dropped); tooLong when it had more than
// kMaxLineLength bytes, of which only the first are kept. False at the end of the file.
bool ReadLine(std::FILE* in, std::string& line, bool& tooLong)
{
    line.clear();
    tooLong = false;
    int c = std::fgetc(in);
    if (c == EOF) {
        return false;
    }
    for (; c != EOF && c != '\n'; c = std::fgetc(in)) {
        if (line.size() <= kMaxLineLength) { // one byte over the limit, to tell a CR of a CR LF from text
            line.push_back(static_cast<char>(c));
        } else {
            tooLong = true;
        }
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    tooLong = tooLong || line.size() > kMaxLineLength;
    return true;
}

} // namespace

std::optional<ListpullOptions> ParseListpullArguments(const std::vector<std::string>& arguments)
{
    ListpullOptions options;
    std::vector<std::string> positionals;
    for (const std::string& argument : arguments) {
        if (argument.size() >= 3 && (argument[0] == '-' || argument[0] == '/') && argument[2] == '=') {
            const std::string value = argument.substr(3);
            switch (argument[1]) {
            case 'H':
            case 'h':
                options.Host = value;
                break;
            case 'P':
            case 'p':
                options.Port = value;
                break;
            case 'N':
            case 'n':
                options.MailboxName = value;
                break;
            case 'D':
            case 'd':
                options.DeleteOption = LeadingNumber(value);
                break;
            default:
                return std::nullopt;
            }
            continue;
        }
        positionals.push_back(argument);
    }
    if (positionals.size() != 3) {
        return std::nullopt;
    }
    options.InputFile = positionals[0];
    options.QuillmailDir = positionals[1];
    if (options.QuillmailDir.size() > 1 &&
        (options.QuillmailDir.back() == '/' || options.QuillmailDir.back() == '\\')) {
        options.QuillmailDir.pop_back();
    }
    options.DomainName = positionals[2];
    if (!OptionsAreValid(options)) {
        return std::nullopt;
    }
    return options;
}

void PrintUsage(std::FILE* out)
{
    (void)std::fputs("\nUsage: \n\n    Listpull InputFile QuillmailDir DomainName [/H=PopHost] [/P=PopPort] [/?]\n\n"
                     "This program creates Quillmail accounts for users listed in a text file.\n\n"
                     "    InputFile = Text input file.  Each line is tab-delimited, containing the \n"
                     "        account name, full name, pop user, pop password, and optionally QM password\n"
                     "    QuillmailDir = Quillmail's root directory\n"
                     "    DomainName = The domain name to use for the e-mail address\n"
                     "    PopHost = System's POP3 Host\n"
                     "    PopPort = POP3 Host's listening port\n"
                     "    /N=name : Assign the name of the Quillmail mailbox.\n"
                     "    /D=x : Use delete option x for the mailbox.  0 = never delete, 1 = delete\n"
                     "           when trash is emptied, and 2 = delete when retrieved\n\n",
                     out);
    (void)std::fputs("Example:\n\n    Listpull users.txt \"/opt/quillmail\" example.com /H=pop.example.com\n\n", out);
}

ListpullLine ParseListpullLine(std::string_view line, int number)
{
    ListpullLine result;
    if (std::count(line.begin(), line.end(), '\t') < 3) {
        return result;
    }
    std::array<std::string_view, 5> fields{};
    std::size_t start = 0;
    for (std::size_t i = 0; i < fields.size() && start <= line.size(); ++i) {
        const std::size_t tab = line.find('\t', start);
        const std::size_t end = tab == std::string_view::npos ? line.size() : tab;
        fields[i] = line.substr(start, end - start);
        start = end + 1;
    }
    static constexpr std::array<std::pair<const char*, std::size_t>, 5> kWidths{{{"account name", kMaxAccountName},
                                                                                 {"full name", kMaxFullName},
                                                                                 {"pop user", kMaxPopUser},
                                                                                 {"pop password", kMaxPassword},
                                                                                 {"QM password", kMaxPassword}}};
    result.Verdict = ListpullLine::Kind::Refused;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].size() > kWidths[i].second) {
            result.Message = "Line " + std::to_string(number) + ": the " + kWidths[i].first + " is too long.\n";
            return result;
        }
    }
    if (!IsValidUserName(fields[0])) {
        result.Message = "Line " + std::to_string(number) + ": the account name is not valid.\n";
        return result;
    }
    ListpullEntry& entry = result.Entry;
    entry.Account = fields[0];
    entry.FullName = fields[1];
    entry.PopUser = fields[2];
    entry.PopPassword = fields[3];
    entry.WebPassword = fields[4].empty() ? fields[3] : fields[4];
    if (entry.WebPassword.empty()) {
        result.Message = "Line " + std::to_string(number) + ": the QM password is empty.\n";
        return result;
    }
    result.Verdict = ListpullLine::Kind::Entry;
    return result;
}

int RunListpull(ListpullOptions options, std::FILE* out, const ListpullHooks& hooks)
{
    if (!FileExists(options.InputFile)) {
        (void)std::fprintf(out, "\nCould not find input file : %s\n", options.InputFile.c_str());
        return 1;
    }
    const std::string iniFile = platform::PathJoin(options.QuillmailDir, "Quillmail.ini");
    const std::string userDir = platform::NativePath(
            ReadIniStringFile("Directories", "UserDir", platform::PathJoin(options.QuillmailDir, "Users"), iniFile));
    if (!platform::IsDirectory(userDir)) {
        (void)std::fprintf(out, "\nCould not find Quillmail's users directory : %s\n", userDir.c_str());
        return 1;
    }
    if (options.MailboxName.empty()) {
        options.MailboxName = options.DomainName;
    }
    if (options.Host.empty()) {
        options.Host = ReadIniStringFile("UserDefaults", "MailHost", "mail", iniFile).substr(0, kMaxHost);
    }
    if (options.Port.empty()) {
        options.Port = ReadIniStringFile("UserDefaults", "MailPort", "110", iniFile).substr(0, kMaxPort);
    }
    std::FILE* in = platform::IsRegularFile(options.InputFile) ? std::fopen(options.InputFile.c_str(), "rb") : nullptr;
    if (in == nullptr) {
        (void)std::fprintf(out, "\nCould not open input file : %s\n", options.InputFile.c_str());
        return 1;
    }
    Counts counts;
    std::string line;
    bool tooLong = false;
    for (int number = 1; ReadLine(in, line, tooLong); ++number) {
        if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) {
            line.erase(0, 3);
        }
        if (line.empty() && !tooLong) {
            continue;
        }
        ++counts.Read;
        if (tooLong) {
            (void)std::fprintf(out, "Line %d is too long.\n", number);
            ++counts.Refused;
            continue;
        }
        const ListpullLine parsed = ParseListpullLine(line, number);
        if (parsed.Verdict == ListpullLine::Kind::Refused) {
            (void)std::fputs(parsed.Message.c_str(), out);
            ++counts.Refused;
        } else if (parsed.Verdict == ListpullLine::Kind::Entry) {
            MakeAccount(parsed.Entry, options, userDir, out, hooks, counts);
        }
    }
    const bool readFailed = std::ferror(in) != 0;
    (void)std::fclose(in);
    (void)std::fprintf(out, "Total input lines read : %d\n", counts.Read);
    (void)std::fprintf(out, "Quillmail accounts created : %d\n", counts.Created);
    (void)std::fprintf(out, "Quillmail accounts already existing : %d\n", counts.Existing);
    (void)std::fprintf(out, "Quillmail accounts refused : %d\n", counts.Refused);
    if (readFailed) {
        (void)std::fprintf(out, "\nCould not read input file : %s\n", options.InputFile.c_str());
        return 1;
    }
    return 0;
}

} // namespace qm::tools

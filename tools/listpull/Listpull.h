// Listpull's work: the command line, and the accounts made from a tab-separated list of users, one a line, each a
// user directory with a User.ini that holds the web password and one POP3 mail account.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::tools {

/// What the command line asks for.
struct ListpullOptions {
    std::string InputFile;
    std::string QuillmailDir; ///< one trailing '/' (or '\') removed
    std::string DomainName;
    std::string Host;        ///< "" until RunListpull reads the default
    std::string Port;        ///< "" until RunListpull reads the default
    std::string MailboxName; ///< "" means the domain name
    int DeleteOption = 0;    ///< 0 never, 1 when the trash is emptied, 2 when retrieved
};

/// Widths of the values, in bytes.
inline constexpr std::size_t kMaxLineLength = 511;
inline constexpr std::size_t kMaxDomainName = 63;
inline constexpr std::size_t kMaxHost = 63;
inline constexpr std::size_t kMaxPort = 15;
inline constexpr std::size_t kMaxMailboxName = 255;
inline constexpr std::size_t kMaxAccountName = 63;
inline constexpr std::size_t kMaxFullName = 95;
inline constexpr std::size_t kMaxPopUser = 63;
inline constexpr std::size_t kMaxPassword = 63;

/// Reads the arguments (without the program name): three positionals and the options /H=, /P=, /N= and /D= (or
/// with '-'; the letter in either case). nullopt, for the usage, when there are no arguments, another option
/// letter, more or fewer than three positionals ("/?" is one), a /D= value other than 0, 1 or 2 (its leading
/// decimal number: "abc" is 0), a /P= other than 1 to 65535, a value over its width, a control byte in the host,
/// the domain or the mailbox name, a blank in the host or the domain, or an empty domain.
std::optional<ListpullOptions> ParseListpullArguments(const std::vector<std::string>& arguments);

/// Writes the usage text and an example to out.
void PrintUsage(std::FILE* out);

/// One line of the input file, split into its fields.
struct ListpullEntry {
    std::string Account;
    std::string FullName;
    std::string PopUser;
    std::string PopPassword;
    std::string WebPassword; ///< the POP password when the line has no fifth field or an empty one
};

/// What ParseListpullLine made of a line.
struct ListpullLine {
    enum class Kind {
        Entry,   ///< Entry holds the fields
        Skipped, ///< fewer than three TABs: read, but nothing to create
        Refused, ///< Message says why (it names the line's number)
    };
    Kind Verdict = Kind::Skipped;
    ListpullEntry Entry;
    std::string Message;
};

/// Splits line (without its line end, at most kMaxLineLength bytes) into its fields and checks them: each within
/// its width, an account name that IsValidUserName accepts, and a web password that is not empty. number is the
/// line's number in the file, for the messages.
ListpullLine ParseListpullLine(std::string_view line, int number);

/// Test seams of RunListpull.
struct ListpullHooks {
    /// Called with the account directory just made, before its User.ini is written.
    std::function<void(const std::string& accountDir)> AccountDirectoryMade;
};

/// Runs the import: checks the input file and the users directory, takes the host and the port from the engine
/// INI's [UserDefaults] when not given, makes an account of every line and writes the messages and the totals to
/// out. Returns the exit code: 0 when the file was read to its end, 1 when it or the users directory is missing,
/// cannot be opened or cannot be read.
int RunListpull(ListpullOptions options, std::FILE* out, const ListpullHooks& hooks = {});

} // namespace qm::tools

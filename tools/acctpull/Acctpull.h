// Acctpull's work, without its dialog: which of the system's accounts are offered, the two lists the administrator
// moves them between, and the accounts made for the chosen ones, whose password is checked by the system (PAM).
#pragma once

#include "platform/SystemAccounts.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qm::tools {

/// Longest account name offered, in bytes (cut on a UTF-8 character boundary).
inline constexpr std::size_t kMaxImportName = 64;

/// The users directory named by the engine INI iniFile: [Directories] UserDir, by default Users beside the INI;
/// '\' separators become '/'.
std::string UserDirOf(const std::string& iniFile);

/// True when the user has an account: a directory of that name (in any case) below userDir holding a User.ini (in
/// any case).
bool UserAccountExists(const std::string& userDir, std::string_view name);

/// name cut to at most maxBytes bytes without splitting a UTF-8 character.
std::string CutUtf8(std::string_view name, std::size_t maxBytes);

/// An account as the lists show it.
struct ImportCandidate {
    std::string Name;
    std::string FullName; ///< the account name when the system gives none
};

/// The accounts to offer, sorted by name: ordinary users (uid 1000 to 59999, not "nobody"), names cut to
/// kMaxImportName bytes, without machine accounts (a name ending in '$'), names the user-name check refuses and
/// users that already have an account.
std::vector<ImportCandidate> OfferedAccounts(const std::vector<platform::SystemAccount>& accounts,
                                             const std::string& userDir);

/// The two lists of the dialog, each kept sorted by name: the accounts offered and the accounts chosen.
class ImportLists {
public:
    explicit ImportLists(std::vector<ImportCandidate> offered);

    const std::vector<ImportCandidate>& Offered() const { return m_offered; }

    const std::vector<ImportCandidate>& Selected() const { return m_selected; }

    /// Moves the entries at the given positions of one list to the other; positions out of range are ignored.
    void Select(const std::vector<std::size_t>& positions);
    void Unselect(const std::vector<std::size_t>& positions);

    /// Removes the chosen entry name (after its account was made).
    void RemoveSelected(const std::string& name);

private:
    std::vector<ImportCandidate> m_offered;
    std::vector<ImportCandidate> m_selected;
};

/// True for a PAM service name that may be stored: 1 to 32 of A-Z, a-z, 0-9, '_', '.' and '-'.
bool IsValidPamService(std::string_view service);

/// Creates every missing level of path; existing levels are left as they are. False when one cannot be made.
bool MakePath(const std::string& path);

/// Makes the account of candidate: its directory (the existing spelling when one exists in another case) and a
/// User.ini (mode 0600) with [User] Password = '\' + service, [MailHost1] FullName and Mailbox = "Mail on " +
/// service. False when the directory or the file cannot be made. service must pass IsValidPamService.
bool CreateUserAccount(const std::string& userDir, const ImportCandidate& candidate, const std::string& service);

/// Makes the accounts of every chosen entry, from the last to the first; an entry whose account was made leaves
/// the list, one that failed stays. Returns the names that failed, in the order tried.
std::vector<std::string> ImportSelected(ImportLists& lists, const std::string& userDir, const std::string& service);

/// The message that names the entries whose accounts could not be made; "" when there are none.
std::string ImportFailureMessage(const std::vector<std::string>& failed);

} // namespace qm::tools

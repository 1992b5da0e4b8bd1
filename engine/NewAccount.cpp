#include "engine/NewAccount.h"

#include "common/IniAccess.h"
#include "common/StringUtil.h"
#include "engine/AdminCalls.h"
#include "engine/DomainSettings.h"
#include "engine/Logon.h"
#include "engine/LogonThrottle.h"
#include "engine/RequestLogText.h"
#include "engine/RequestMessages.h"
#include "engine/UserDirectory.h"
#include "engine/UserRecord.h"
#include "platform/ChildProcess.h"
#include "platform/FdUtil.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/MailHostList.h"
#include "store/SmtpClient.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace qm::engine {
namespace {

constexpr std::size_t kMaxFullName = 63;
constexpr std::size_t kMaxProgram = 259;
constexpr std::size_t kMaxAdministrator = 79;

// The documented fields the program gets in its environment, DOMAIN aside.
constexpr const char* kProgramFields[] = {"User", "Pass", "ConfirmPass", "FullName", "NewAccountPassword"};

std::string_view NameOf(std::string_view entry)
{
    return entry.substr(0, entry.find('='));
}

bool HasName(const std::vector<std::string>& environment, std::string_view name)
{
    return std::any_of(environment.begin(), environment.end(),
                       [name](const std::string& entry) { return NameOf(entry) == name; });
}

// A file of its own in the temporary directory (named after prefix, made unique), removed when this goes.
class TempFile {
public:
    TempFile(const std::string& dir, const std::string& prefix)
    {
        auto made = platform::CreateSiblingTemp(platform::PathJoin(dir, prefix));
        if (!made) {
            m_error = made.error().Code;
            return;
        }
        m_path = std::move(made->Path); // its descriptor closes here: the file is opened again by name
    }

    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    ~TempFile()
    {
        if (!m_path.empty()) {
            (void)platform::RemoveFile(m_path);
        }
    }

    const std::string& Path() const { return m_path; }

    int Error() const { return m_error; }

private:
    std::string m_path;
    int m_error = 0;
};

std::string ReadStart(const std::string& path, std::size_t limit)
{
    std::string text(limit, '\0');
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return {};
    }
    text.resize(std::fread(text.data(), 1, limit, file));
    (void)std::fclose(file);
    return text;
}

// The new account's default mail account lacks an address or a host: the user is led to the host settings.
bool NeedsMailHost(const std::string& user)
{
    auto record = UserRecord::Open(user);
    if (!record) {
        return false;
    }
    store::MailHostList& hosts = (*record)->MailHosts();
    const store::MailHostAccount* account = hosts.Count() > 0 ? hosts.Find(hosts.GetDefaultMailbox()) : nullptr;
    return account == nullptr || account->EMail().empty() || account->Host().empty();
}

std::string DateLine()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char date[64];
    (void)std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S", &local);
    const int offset = static_cast<int>(local.tm_gmtoff / 60);
    char zone[32];
    (void)std::snprintf(zone, sizeof zone, " %+03d%02d", offset / 60, (offset < 0 ? -offset : offset) % 60);
    return std::string("Date: ") + date + zone + "\r\n";
}

// Header values of the notification hold no line ends, so that no field can add a header.
std::string OneLine(std::string_view text)
{
    std::string out(text);
    std::replace_if(
            out.begin(), out.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return out;
}

} // namespace

std::vector<std::string> NewAccountEnvironment(const std::vector<std::string>& engineEnvironment,
                                               const NameValueList& fields, std::string_view domain)
{
    std::vector<std::string> environment;
    for (const std::string& entry : engineEnvironment) {
        const std::string_view name = NameOf(entry);
        if (name.size() == entry.size() || name.substr(0, 3) == "LD_" || name == "PATH") {
            continue;
        }
        environment.push_back(entry);
    }
    environment.push_back(std::string("PATH=") + kNewAccountPath);
    const std::vector<std::string> engine = environment;
    for (const char* field : kProgramFields) {
        if (!HasName(engine, field)) {
            environment.push_back(std::string(field) + "=" + fields.GetValue(field));
        }
    }
    if (!HasName(engine, "DOMAIN")) {
        environment.push_back("DOMAIN=" + std::string(domain));
    }
    return environment;
}

int RunNewAccountExecutable(PageContext& page, const NameValueList& fields, std::string_view domain)
{
    Logger& log = page.Log();
    const std::string program = GetDomainSetting("NewAccountExecutable", domain).substr(0, kMaxProgram);
    if (program.empty()) {
        return -1;
    }
    // There is no search of PATH: the program is named by its full path.
    if (program.front() != '/') {
        log.LogMsg(4, kLogNewAccountNoStart, ENOENT);
        SetStatusMessage(page, LanguageText(page, kTextMailAccountError), MessageTone::Refusal);
        return 0;
    }
    const TempFile output(TempDirRoot(), "EMC");
    if (output.Path().empty()) {
        log.LogMsg(4, kLogNewAccountNoOutputFile, output.Error());
        SetStatusMessage(page, LanguageText(page, kTextMailAccountError), MessageTone::Refusal);
        return 0;
    }
    ChildOptions options;
    options.Argv = {program, fields.GetValue("User"), fields.GetValue("Pass"),
                    std::string(fields.GetValue("FullName")).substr(0, kMaxFullName)};
    options.Environment = NewAccountEnvironment(CurrentEnvironment(), fields, domain);
    options.WorkingDirectory = platform::ParentDirectory(program);
    options.Stdout = ChildStdio::File(output.Path());
    options.Group = ProcessGroup::NewGroup; // a time-out kills what the program started too
    if (const std::string runAs = ReadIniString("AccountCreation", "NTLogonName", "").substr(0, 63); !runAs.empty()) {
        auto account = LookupUser(runAs);
        if (account) {
            log.LogMsg(2, kLogNewAccountLogonOk);
            options.User = *account;
        } else {
            log.LogMsg(4, kLogNewAccountLogonFailed, account.error().Code);
        }
    }
    const int seconds = std::max(1, ReadIniInt("AccountCreation", "NewAccountTimeout", kDefaultNewAccountTimeout));
    auto status = ChildProcess::Run(options, seconds * 1000);
    if (!status) {
        log.LogMsg(4, kLogNewAccountNoStart, status.error().Code);
        SetStatusMessage(page, LanguageText(page, kTextMailAccountError), MessageTone::Refusal);
        return 0;
    }
    const int code = status->State == ChildState::Exited ? status->Code : -1;
    const bool made = status->State == ChildState::Exited && code == GetDomainInt("NewAccountReturnValue", domain);
    // The program's output tells the user what it did; after a failure that is why.
    SetStatusMessage(page, ReadStart(output.Path(), kMaxNewAccountOutput),
                     made ? MessageTone::Notice : MessageTone::Refusal);
    if (status->State == ChildState::TimedOut) {
        log.Log(4, "NewAccountExecutable for user %s ran past %d s and was stopped.", fields.GetValue("User"), seconds);
    }
    log.LogMsg(2, kLogNewAccountCompleted, fields.GetValue("User"), code);
    return made ? 1 : 0;
}

bool SendNewUserNotification(std::string_view user, std::string_view fullName, std::string_view domain, Logger& log)
{
    const std::string name(user);
    log.LogMsg(2, kLogNewUserNotification, name.c_str());
    const std::string administrator =
            OneLine(ReadIniString("Registration", "Administrator", "Postmaster").substr(0, kMaxAdministrator));
    // The lines end in CR LF, as the message goes on the wire.
    std::string text = DateLine();
    text += "From: Quillmail Pro <>\r\n";
    text += "To: Quillmail Administrator <" + administrator + ">\r\n";
    text += "Subject: New Quillmail Account (" + OneLine(user) + ")\r\n\r\n";
    text += "A new Quillmail account has been created.\r\n\r\n";
    text += "User name : " + OneLine(user) + "\r\n";
    text += "Full name : " + OneLine(fullName) + "\r\n";
    if (auto record = UserRecord::Open(name)) {
        if (const std::string email = (*record)->DefaultAccountEMail(); !email.empty()) {
            text += "E-mail address : " + OneLine(email) + "\r\n";
        }
    }
    const TempFile file(TempDirRoot(), name + ".new");
    if (file.Path().empty()) {
        return false;
    }
    std::FILE* out = std::fopen(file.Path().c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (std::fclose(out) != 0 || !written) {
        return false;
    }
    const std::string helo = ReadIniString("SmtpClient", "HeloDomain", "Quillmail");
    store::SmtpClient client(GetDomainSetting("SmtpHost", domain), GetDomainInt("SmtpPort", domain), helo, log);
    return client.Send("", administrator.c_str(), file.Path().c_str());
}

bool SignUpPasswordAccepted(std::string_view domain, std::string_view typed, std::string_view remoteAddr,
                            LogonThrottle& throttle, Logger& log)
{
    const std::string secret = GetDomainSecret("NewAccountPassword", domain).substr(0, 31);
    if (secret.empty()) {
        return true;
    }
    // No typed name holds a NUL, so this key is no user's.
    std::string key("\0sign-up@", 9);
    for (const char c : domain) {
        key += FoldCase(c);
    }
    LogonThrottle::Verdict verdict = throttle.Admit(remoteAddr, key);
    const std::string named = domain.empty() ? std::string("(default)") : ForLog(domain);
    if (!verdict.Admitted) {
        const long long seconds = (verdict.Wait.count() + 999) / 1000;
        log.Log(3, "Sign-up password for domain %s from %s refused unchecked after wrong ones; retry in %lld s.",
                named.c_str(), ForLog(remoteAddr).c_str(), seconds);
        return false;
    }
    // A right password is not counted as a success, which would forget the domain's failures: they may be a
    // guesser's, and the one who knows the password is not held up by them for long.
    if (secret != typed) {
        verdict.Admitted->Failed();
        log.Log(3, "Wrong sign-up password for domain %s from %s.", named.c_str(), ForLog(remoteAddr).c_str());
        return false;
    }
    return true;
}

NewUserStep NewUserPage(PageContext& page, CgiInput& input, std::string& domain, std::string_view remoteAddr,
                        LogonThrottle& throttle)
{
    NameValueList& fields = input.Variables();
    Logger& log = page.Log();
    if (fields.Contains("Cancel")) {
        return NewUserStep::ToLogon;
    }
    if (!fields.Contains("Finished") && !fields.Contains("Save")) {
        return NewUserStep::ShowForm;
    }
    const std::string typedUser(TrimmedView(fields.GetValue("User")));
    const std::string pass = fields.GetValue("Pass");
    auto refuse = [&page](int message) {
        SetStatusMessage(page, LanguageText(page, message), MessageTone::Refusal);
        return NewUserStep::ShowForm;
    };
    if (typedUser.empty()) {
        return refuse(kTextNoUserName);
    }
    // The name is the new-account program's first argument, where a leading '-' would make it an option.
    if (typedUser.front() == '-') {
        log.Log(3, "Account not created for %s: a user name may not begin with '-'.", ForLog(typedUser).c_str());
        return refuse(kTextLeadingHyphen);
    }
    if (pass.empty()) {
        return refuse(kTextNoPassword);
    }
    if (pass != fields.GetValue("ConfirmPass")) {
        return refuse(kTextPasswordsDiffer);
    }
    std::string user = typedUser;
    if (const std::size_t at = user.rfind('@'); at != std::string::npos) {
        const std::string asked = user.substr(at + 1);
        if (!EqualsNoCase(asked, domain)) {
            if (!GetDomainBool("NewAccountCreation", asked)) {
                SetStatusMessage(page, LanguageText(page, kTextNoNewAccounts), MessageTone::Refusal);
                return NewUserStep::ToLogon;
            }
            if (!SignUpPasswordAccepted(asked, fields.GetValue("NewAccountPassword"), remoteAddr, throttle, log)) {
                SetStatusMessage(page, LanguageText(page, kTextBadNewAccountPassword), MessageTone::Refusal);
                return NewUserStep::ToLogon;
            }
            domain = asked;
        }
    } else if (!domain.empty()) {
        user += "@" + domain;
    }
    // A longer name is refused rather than cut, so that nobody gets an account under another name than asked for.
    if (user.size() > kMaxNewUserName || !IsValidUserName(user)) {
        log.LogMsg(4, kLogUserCreateError, ForLog(user).c_str());
        return refuse(kTextAccountNotCreated);
    }
    if (UserDirExists(user)) {
        log.LogMsg(3, kLogAccountExists, user.c_str());
        return refuse(kTextAccountExists);
    }
    // A password of those forms would be kept as a directory or system logon (and its host), not as a password.
    const std::string fullName = std::string(fields.GetValue("FullName")).substr(0, kMaxFullName);
    if (IsStoredPasswordReference(pass) ||
        !admin::UserCreate(user.c_str(), pass.c_str(), page.Language().c_str(), fullName.c_str(), user.c_str())) {
        log.LogMsg(4, kLogUserCreateError, user.c_str());
        return refuse(kTextAccountNotCreated);
    }
    fields.Set("User", typedUser.c_str());
    fields.Set("DOMAIN", domain.c_str());
    if (RunNewAccountExecutable(page, fields, domain) == 0) {
        (void)admin::UserDelete(user.c_str());
        log.LogMsg(4, kLogMailAccountError, user.c_str());
        SetErrorMessage(page, LanguageText(page, kTextMailAccountError));
        return NewUserStep::ShowForm;
    }
    log.LogMsg(3, kLogAccountCreated, user.c_str(), std::string(remoteAddr).c_str());
    if (ReadIniBool("AccountCreation", "NewUserNotification", false)) {
        (void)SendNewUserNotification(user, fullName, domain, log);
    }
    fields.Set("Password", pass.c_str());
    fields.Remove("View");
    if (NeedsMailHost(user)) {
        fields.Set("FrameView", "Options-Hosts");
    }
    return NewUserStep::LogOn;
}

} // namespace qm::engine

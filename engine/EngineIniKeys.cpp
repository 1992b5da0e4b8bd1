#include "engine/EngineIniKeys.h"

#include "platform/Path.h"

namespace qm::engine {
namespace {

using enum IniKeyForm;

constexpr EngineIniKey kKeys[] = {
        {"Version", "Version", Fixed, "2.2.3"},
        {"Registration", "Administrator", Text, "Postmaster"},
        {"General", "LogLevel", Int, "1"},
        {"General", "MessageDateFormat", Text, "%x %X"},
        {"General", "ListDateFormat", Text, "%m/%d %H:%M"},
        {"General", "RedirectWait", Int, "2"},
        {"General", "EnableReplaceFrom", Bool, "Yes"},
        {"General", "MaxInlineAttachSize", Int, "20"},
        {"General", "CaseSensitivePasswords", Bool, "Yes"},
        {"General", "MaxLogFileSize", Int, "5000"},
        {"General", "CacheTemplates", Bool, "Yes"},
        {"General", "SendReadConfirmations", Bool, "No"},
        {"General", "GlobalAddrBookSortOrder", Text, "Name"},
        {"General", "VerboseSentConfirmation", Bool, "No"},
        {"General", "MaxFormMemory", Int, "65536"},
        {"General", "MaxAttachmentsSize", Int, "25600"},
        {"Directories", "BaseDir", Path, ""},
        {"Directories", "LogDir", Path, "Logs"},
        {"Directories", "TempDir", Path, "Temp"},
        {"Directories", "TemplateDir", Path, "Templates"},
        {"Directories", "UserDir", Path, "Users"},
        {"Directories", "SpellDir", Path, "SpellCheck"},
        {"Directories", "CorvidAppDir", Text, ""},
        {"Session", "Maximum", Int, "200"},
        {"Session", "ExpireTime", Int, "20"},
        {"Session", "ComposeExpireTime", Int, "120"},
        {"Session", "CheckCookie", Bool, "Yes"},
        {"Session", "CheckIP", Bool, "Yes"},
        {"Mailboxes", "SyncWithMailServer", Bool, "No"},
        {"Mailboxes", "MaxUserMailboxes", Int, "1"},
        {"Mailboxes", "DirectCorvidPOP3", Bool, "Yes"},
        {"AccountCreation", "NewUserNotification", Bool, "No"},
        {"AccountCreation", "SendWelcomeMessage", Bool, "No"},
        {"AccountCreation", "NTLogonName", Scrambled, ""},
        {"AccountCreation", "NTPassword", Scrambled, ""},
        {"AccountCreation", "NTDomain", Text, ""},
        {"SmtpClient", "HeloDomain", Text, "Quillmail"},
        {"SmtpClient", "UseESMTP", Bool, "Yes"},
        {"SmtpClient", "MaxRecipients", Int, "100"},
        {"PopClient", "Timeout", Int, "30"},
        {"PopClient", "RetrCutoff", Int, "8192"},
        {"PopClient", "UseReceivedDate", Bool, "No"},
        {"SpellCheck", "SplitWords", Text, "de,fi"},
        {"SpellCheck", "SplitContractedWords", Text, "fr,fc,it"},
        {"SpellCheck", "NoAccentedCaps", Text, "fc"},
        {"SpellCheck", "SuggestSplitWords", Text, "en"},
        {"SpellCheck", "AddSingleWords", Bool, "Yes"},
        {"Special", "SendMessageAttachmentAsText", Bool, "Yes"},
        {"Special", "UseCookies", Bool, "Yes"},
};

} // namespace

std::span<const EngineIniKey> EngineIniKeys()
{
    return kKeys;
}

std::string EngineIniDefault(const EngineIniKey& key, const std::string& installDir)
{
    if (key.Form != IniKeyForm::Path) {
        return key.Default;
    }
    if (key.Default[0] == '\0') {
        return installDir;
    }
    return platform::PathJoin(installDir, key.Default);
}

} // namespace qm::engine

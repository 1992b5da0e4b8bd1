// The condition vocabulary of "<$IF ...$>" and "<$ELSEIF ...$>": what each name tests. A leading '!' (handled by
// the compiler) negates; an unknown name is false. Conditions that need the session are false without one.
#include "common/CgiInput.h"
#include "common/IniAccess.h"
#include "common/StringUtil.h"
#include "engine/ComposeState.h"
#include "engine/DomainSettings.h"
#include "engine/TemplateRender.h"
#include "engine/TemplateVocabulary.h"
#include "engine/Views.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/CvUserBinding.h"
#include "store/FolderList.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"

#include <string>

namespace qm::engine {
namespace {

bool HasField(TemplateRender& render, const char* name)
{
    return render.Context().Input().Variables().Contains(name);
}

bool UseTelvane()
{
    return ReadIniBool("Telvane", "UseTelvane", false);
}

bool CompanionLoaded()
{
    return store::LoadedCVUser() != nullptr;
}

bool ConditionCgi(TemplateRender& render, std::string_view field)
{
    return HasField(render, std::string(field).c_str());
}

bool ConditionDomain(TemplateRender& render, std::string_view key)
{
    return GetDomainBool(key, render.Context().Domain());
}

bool ConditionUser(TemplateRender& render, std::string_view key)
{
    PageSession* session = render.Session();
    return session != nullptr && GetUserBool(key, session->Settings());
}

bool ConditionAdvancedCompose(TemplateRender& render, std::string_view)
{
    return HasField(render, "AdvancedCompose") || ConditionUser(render, "AdvancedCompose");
}

// A compose page whose text is too large to edit: the page offers no text box that would post over it.
bool ConditionBodyTooLarge(TemplateRender& render, std::string_view)
{
    const int view = render.Context().View();
    PageSession* session = render.Session();
    return session != nullptr &&
           (view == kViewCompose || view == kViewComposeAttach || view == kViewComposeSpellCheck) &&
           !IsComposeTextEditable(session->TempDir());
}

bool ConditionFaxCompose(TemplateRender& render, std::string_view)
{
    return HasField(render, "FaxCompose") && UseTelvane();
}

bool ConditionCorvid(TemplateRender&, std::string_view)
{
    return CompanionLoaded();
}

bool ConditionNetscape(TemplateRender& render, std::string_view)
{
    const char* agent = render.Context().Input().GetEnv("HTTP_USER_AGENT");
    return StartsWithNoCase(agent, "Mozilla") && FindNoCase(agent, "MSIE") == nullptr;
}

bool ConditionTelvane(TemplateRender&, std::string_view)
{
    return UseTelvane();
}

// The companion's web configuration: [Directories] CorvidAppDir cut at its last separator twice, then
// "Tessera/Tessera.ini" (a directory written with a trailing separator so loses one level less).
bool ConditionTessera(TemplateRender&, std::string_view)
{
    if (!CompanionLoaded()) {
        return false;
    }
    std::string dir = ReadIniString("Directories", "CorvidAppDir", "");
    for (int cut = 0; cut < 2; ++cut) {
        const std::size_t separator = platform::LastSeparator(dir);
        if (separator == std::string::npos) {
            return false;
        }
        dir.resize(separator);
    }
    return platform::ResolvePathNoCase(dir.empty() ? std::string("/") : dir, "Tessera/Tessera.ini").has_value();
}

// Tests the selected folder of the user; false without a session or a folder.
template <class Test>
bool SelectedFolderIs(TemplateRender& render, Test test)
{
    PageSession* session = render.Session();
    const store::FolderEntry* folder = session != nullptr ? session->User().Folders().GetSelected() : nullptr;
    return folder != nullptr && test(*folder);
}

bool ConditionFolderHasSubs(TemplateRender& render, std::string_view)
{
    return SelectedFolderIs(render, [](const store::FolderEntry& f) { return f.HasSubfolders(); });
}

bool ConditionFolderReadOnly(TemplateRender& render, std::string_view)
{
    return SelectedFolderIs(render, [](const store::FolderEntry& f) { return store::IsSpecialFolder(f.Name()); });
}

// The user's message index; null without a session or an index.
store::MessageIndex* MessageIndexOf(TemplateRender& render)
{
    PageSession* session = render.Session();
    if (session == nullptr) {
        return nullptr;
    }
    Result<store::MessageIndex*> index = session->User().Index();
    return index ? *index : nullptr;
}

bool ConditionFolderHasUnread(TemplateRender& render, std::string_view)
{
    store::MessageIndex* index = MessageIndexOf(render);
    return index != nullptr && SelectedFolderIs(render, [&](const store::FolderEntry& f) {
               return index->CountUnreadInFolder(f.Name()) > 0;
           });
}

bool ConditionNoMessages(TemplateRender& render, std::string_view)
{
    store::MessageIndex* index = MessageIndexOf(render);
    return index != nullptr && index->FirstVisible() < 0;
}

bool ConditionUnreadMessages(TemplateRender& render, std::string_view)
{
    store::MessageIndex* index = MessageIndexOf(render);
    if (index == nullptr) {
        return false;
    }
    const store::FolderList& folders = render.Session()->User().Folders();
    for (int i = 0; i < folders.Count(); ++i) {
        if (index->CountUnreadInFolder(folders.Item(i).Name()) > 0) {
            return true;
        }
    }
    return false;
}

// Whether the current message has flag; false without one.
bool MessageHas(TemplateRender& render, std::uint32_t flag)
{
    PageSession* session = render.Session();
    const store::MessageIndexEntry* message = session != nullptr ? session->CurrentMessage() : nullptr;
    return message != nullptr && message->HasFlag(flag);
}

bool ConditionMsgForwarded(TemplateRender& render, std::string_view)
{
    return MessageHas(render, store::MessageFlag::Forwarded);
}

bool ConditionMsgHasAttach(TemplateRender& render, std::string_view)
{
    return MessageHas(render, store::MessageFlag::HasAttachments);
}

bool ConditionMsgNew(TemplateRender& render, std::string_view)
{
    return MessageHas(render, store::MessageFlag::New);
}

bool ConditionMsgReplied(TemplateRender& render, std::string_view)
{
    return MessageHas(render, store::MessageFlag::Replied);
}

bool ConditionMsgUnread(TemplateRender& render, std::string_view)
{
    PageSession* session = render.Session();
    return session != nullptr && session->CurrentMessage() != nullptr && !MessageHas(render, store::MessageFlag::Read);
}

bool ConditionMsgUrgent(TemplateRender& render, std::string_view)
{
    return MessageHas(render, store::MessageFlag::Urgent);
}

// The mail account at the list index is the user's system account, which the domain keeps in step.
bool ConditionMailboxReadOnly(TemplateRender& render, std::string_view)
{
    PageSession* session = render.Session();
    if (session == nullptr || !GetDomainBool("SyncSystemMailbox", render.Context().Domain())) {
        return false;
    }
    store::MailHostList& accounts = session->User().MailHosts();
    const int i = render.ListIndex();
    return i >= 0 && i < accounts.Count() && &accounts.Item(i) == &accounts.GetSystemAccount();
}

bool ConditionMailboxDeleteReadOnly(TemplateRender& render, std::string_view argument)
{
    return ConditionMailboxReadOnly(render, argument) &&
           !GetDomainSetting("PopDelete", render.Context().Domain()).empty();
}

// The fax server asks for a password: [Security] RequirePassword of its Telvane.ini.
bool ConditionTelvanePassword(TemplateRender&, std::string_view)
{
    if (!UseFaxServer()) {
        return false;
    }
    const std::optional<std::string> ini = FaxServerFile("Telvane.ini");
    return ini && ReadIniBoolFile("Security", "RequirePassword", false, *ini);
}

// The status message the page is about to show tells of a refusal (a page styles it as an error).
bool ConditionStatusError(TemplateRender& render, std::string_view)
{
    return StatusIsRefusal(render.Context());
}

bool ConditionTrue(TemplateRender&, std::string_view)
{
    return true;
}

bool ConditionFalse(TemplateRender&, std::string_view)
{
    return false;
}

bool ConditionQmWatch(TemplateRender&, std::string_view)
{
    return ReadIniBool("QMWatch", "UseQMWatch", true);
}

constexpr ConditionEntry kConditions[] = {
        {"CGI:", ConditionCgi, NameMatch::Prefix},
        {"DOMAIN:", ConditionDomain, NameMatch::Prefix},
        {"USER:", ConditionUser, NameMatch::Prefix},
        {"ADVANCEDCOMPOSE", ConditionAdvancedCompose},
        {"FAXCOMPOSE", ConditionFaxCompose},
        {"BODYTOOLARGE", ConditionBodyTooLarge},
        {"FOLDERHASSUBS", ConditionFolderHasSubs},
        {"FOLDERREADONLY", ConditionFolderReadOnly},
        {"FOLDERHASUNREAD", ConditionFolderHasUnread},
        {"NOMESSAGES", ConditionNoMessages},
        {"UNREADMESSAGES", ConditionUnreadMessages},
        {"MAILBOXREADONLY", ConditionMailboxReadOnly},
        {"MAILBOXDELETEREADONLY", ConditionMailboxDeleteReadOnly},
        {"MSGFORWARDED", ConditionMsgForwarded},
        {"MSGHASATTACH", ConditionMsgHasAttach},
        {"MSGNEW", ConditionMsgNew},
        {"MSGREPLIED", ConditionMsgReplied},
        {"MSGUNREAD", ConditionMsgUnread},
        {"MSGURGENT", ConditionMsgUrgent},
        {"CORVID", ConditionCorvid},
        {"NETSCAPE", ConditionNetscape},
        {"TELVANE", ConditionTelvane},
        {"TESSERA", ConditionTessera},
        {"TELVANEPASSWORD", ConditionTelvanePassword},
        {"STATUSERROR", ConditionStatusError},
        {"QMPRO", ConditionTrue},
        {"QMSTANDARD", ConditionFalse},
        {"QMWATCH", ConditionQmWatch},
};

} // namespace

std::span<const ConditionEntry> Conditions()
{
    return kConditions;
}

} // namespace qm::engine

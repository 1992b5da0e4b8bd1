// The condition vocabulary of "<$IF ...$>" and "<$ELSEIF ...$>": what each name tests. A leading '!' (handled by
// the compiler) negates; an unknown name is false. Conditions that need the session are false without one.
#include "common/CgiInput.h"
#include "common/IniAccess.h"
#include "common/StringUtil.h"
#include "engine/DomainSettings.h"
#include "engine/TemplateRender.h"
#include "engine/TemplateVocabulary.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/CvUserBinding.h"
#include "store/FolderList.h"

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
        {"FOLDERHASSUBS", ConditionFolderHasSubs},
        {"FOLDERREADONLY", ConditionFolderReadOnly},
        {"CORVID", ConditionCorvid},
        {"NETSCAPE", ConditionNetscape},
        {"TELVANE", ConditionTelvane},
        {"TESSERA", ConditionTessera},
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

// The list vocabulary of "<$FOREACH ...$>": what each list iterates over and how its body sees an item. Lists that
// need the session render nothing without one.
#include "common/IniAccess.h"
#include "common/IniCache.h"
#include "engine/Engine.h"
#include "engine/LanguagesFile.h"
#include "engine/PageChoice.h"
#include "engine/TemplateCache.h"
#include "engine/TemplateRender.h"
#include "engine/TemplateVocabulary.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/FolderList.h"

#include <string>

namespace qm::engine {
namespace {

// Longest section name that LANGUAGE gives as a value.
constexpr std::size_t kMaxLanguageSection = 15;

std::string UpToFirstDot(const std::string& name)
{
    return name.substr(0, name.find('.'));
}

bool IsDirectoryEntry(const std::string& dir, const platform::DirEntry& entry)
{
    return entry.Type == platform::EntryType::Directory ||
           (entry.Type == platform::EntryType::Symlink && platform::IsDirectory(platform::PathJoin(dir, entry.Name)));
}

bool IsFileEntry(const std::string& dir, const platform::DirEntry& entry)
{
    return entry.Type == platform::EntryType::File ||
           (entry.Type == platform::EntryType::Symlink && platform::IsRegularFile(platform::PathJoin(dir, entry.Name)));
}

// Calls f(section, name) for every line of Languages.ini numbered 1 (the language's own name), in file order.
template <class F>
void ForEachLanguageName(TemplateRender& render, F&& f)
{
    const TextSnapshot text = LoadTextCached(LanguagesIniPath(render.Context().Templates().TemplateDir()));
    std::string_view section;
    bool inSection = false;
    ForEachLine(*text, [&](std::string_view line) {
        if (!line.empty() && line.front() == '[') {
            section = line.substr(1);
            section = section.substr(0, std::min(section.find(']'), kMaxLanguageSection));
            inSection = true;
            return;
        }
        const LanguageLine entry = ClassifyLanguageLine(line);
        if (inSection && entry.Kind == LanguageLineKind::Entry && entry.Number == 1) {
            f(section, entry.Text);
        }
    });
}

void ListLanguages(TemplateRender& render, const ListBody& body)
{
    ForEachLanguageName(render, [&](std::string_view code, std::string_view name) {
        render.RenderItem(body, Placeholders().Set(Placeholder::Value, code).Set(Placeholder::Name, name));
    });
}

// Languages with a spelling word list "<SpellDir>/Common.<code>" ("fc", Canadian French, uses the "fr" list).
void ListSpellCheckLanguages(TemplateRender& render, const ListBody& body)
{
    const std::string spellDir =
            ReadIniString("Directories", "SpellDir", platform::PathJoin(InstallDir(), "SpellCheck"));
    ForEachLanguageName(render, [&](std::string_view code, std::string_view name) {
        std::string file = "Common.";
        file += platform::EqualsNoCase(code, "fc") ? std::string_view("fr") : code;
        if (platform::IsSafeName(file) && platform::ResolveNoCase(spellDir, file)) {
            render.RenderItem(body, Placeholders().Set(Placeholder::Value, code).Set(Placeholder::Name, name));
        }
    });
}

void ListStyles(TemplateRender& render, const ListBody& body)
{
    if (!platform::IsSafeName(render.Context().Theme())) {
        return;
    }
    const std::string themeDir = platform::PathJoin(HtmlDirectory(), render.Context().Theme());
    auto entries = platform::ListDirectory(themeDir, "*.css");
    if (!entries) {
        return;
    }
    for (const platform::DirEntry& entry : *entries) {
        if (IsFileEntry(themeDir, entry)) {
            const std::string name = UpToFirstDot(entry.Name);
            render.RenderItem(body, Placeholders().Set(Placeholder::Name, name));
        }
    }
}

void ListThemes(TemplateRender& render, const ListBody& body)
{
    const std::string& templateDir = render.Context().Templates().TemplateDir();
    auto entries = platform::ListDirectory(templateDir);
    if (!entries) {
        return;
    }
    for (const platform::DirEntry& entry : *entries) {
        if (IsDirectoryEntry(templateDir, entry)) {
            render.RenderItem(body, Placeholders().Set(Placeholder::Name, entry.Name));
        }
    }
}

// Every folder of the user, each selected while the body renders; the selection is restored after.
void ListFolders(TemplateRender& render, const ListBody& body)
{
    store::FolderList& folders = render.Session()->User().Folders();
    folders.SetLanguage(render.Context().Language()); // display names in the page's language
    const int selected = folders.SelectedIndex();
    for (int i = 0; i < folders.Count(); ++i) {
        folders.SetSelectedIndex(i);
        render.RenderItem(body);
    }
    folders.SetSelectedIndex(selected);
}

// The body once for each level the selected folder lies below the top (for indenting).
void ListFolderDepth(TemplateRender& render, const ListBody& body)
{
    const store::FolderEntry* folder = render.Session()->User().Folders().GetSelected();
    for (int level = 0; folder != nullptr && level < folder->GetDepth(); ++level) {
        render.RenderItem(body);
    }
}

constexpr ListEntry kLists[] = {
        {"LANGUAGE", ListLanguages, ListNeeds::Nothing},
        {"SPELLCHECKLANG", ListSpellCheckLanguages, ListNeeds::Nothing},
        {"STYLE", ListStyles, ListNeeds::Nothing},
        {"THEME", ListThemes, ListNeeds::Nothing},
        {"FOLDER", ListFolders},
        {"FOLDERDEPTH", ListFolderDepth},
};

} // namespace

std::span<const ListEntry> Lists()
{
    return kLists;
}

} // namespace qm::engine

// The file editor: FileList.dat, the descriptor files, saving a submitted form and showing a file.
#include "admincgi/FileEditor.h"

#include "common/IniAccess.h"
#include "common/Scrambler.h"
#include "common/StringUtil.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "platform/Path.h"

#include <algorithm>

namespace qm::admincgi {
namespace {

constexpr std::size_t kMaxFileListLine = 255;
constexpr std::size_t kMaxEditedLine = 1023;
constexpr std::size_t kMaxFormValue = 1023;
constexpr std::uint64_t kMaxEditedFile = 16u << 20;
constexpr const char* kDoNotShow = "_DONOTSHOW_";
constexpr const char* kNoNewKeys = "_NONEWKEYS_";

std::string Trimmed(std::string_view s, std::size_t width)
{
    return std::string(TrimmedView(s)).substr(0, width);
}

// Every "$DIR$" replaced by dir in one pass, so that a dir holding "$DIR$" cannot make it loop.
std::string ExpandDir(std::string_view path, std::string_view dir)
{
    std::string out;
    for (std::size_t at = path.find("$DIR$"); at != std::string_view::npos; at = path.find("$DIR$")) {
        out.append(path.substr(0, at)).append(dir);
        path.remove_prefix(at + 5);
    }
    return out.append(path);
}

std::string Lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out) {
        c = FoldCase(c);
    }
    return out;
}

} // namespace

std::string ProgramDirectoryPath(std::string_view dir, const std::string& installDir)
{
    std::string path = platform::NativePath(dir);
    if (path.empty() || path == ".") {
        return installDir;
    }
    return path.front() == '/' ? path : installDir + "/" + path;
}

std::optional<FileListLine> ParseFileListLine(std::string_view line, std::string_view programDir)
{
    FileListLine parsed;
    if (StartsWithNoCase(line, "Program=")) {
        parsed.Type = FileListLine::Kind::Program;
        line.remove_prefix(8);
    } else if (StartsWithNoCase(line, "File=")) {
        line.remove_prefix(5);
    } else {
        return std::nullopt;
    }
    const std::size_t comma = line.find(',');
    if (comma == std::string_view::npos) {
        return std::nullopt;
    }
    const bool isProgram = parsed.Type == FileListLine::Kind::Program;
    const std::string_view first = line.substr(0, comma);
    // The second field starts one character after the character that follows the comma.
    std::string_view rest = line.substr(std::min(line.size(), comma + 2));
    const std::size_t second = rest.find(',');
    const std::string_view secondField = rest.substr(0, second);
    const std::string_view third = second == std::string_view::npos ? std::string_view() : rest.substr(second + 1);
    if (isProgram) {
        parsed.First = Trimmed(first, 63);
        parsed.Second = Trimmed(secondField, 260);
    } else {
        parsed.First = Trimmed(platform::NativePath(ExpandDir(first, programDir)), 260);
        parsed.Second = Trimmed(secondField, 63);
    }
    parsed.Third = Trimmed(third, 63);
    return parsed;
}

FileListReader::FileListReader(const std::string& path, std::string installDir)
    : m_stream(std::fopen(path.c_str(), "rb"))
    , m_installDir(std::move(installDir))
{}

FileListReader::~FileListReader()
{
    if (m_stream != nullptr) {
        (void)std::fclose(m_stream);
    }
}

std::optional<FileListLine> FileListReader::Next()
{
    if (m_pending) {
        std::optional<FileListLine> line = std::move(m_pending);
        m_pending.reset();
        return line;
    }
    if (m_stream == nullptr) {
        return std::nullopt;
    }
    char buffer[kMaxFileListLine + 2];
    while (std::fgets(buffer, sizeof buffer, m_stream) != nullptr) {
        std::string line = buffer;
        const bool whole = !line.empty() && line.back() == '\n';
        // The rest of an over-long line is skipped, not read as a line of its own.
        for (int c = 0; !whole && (c = std::fgetc(m_stream)) != EOF && c != '\n';) {
        }
        StripLineEnd(line);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        std::optional<FileListLine> parsed = ParseFileListLine(line, m_lastDir);
        if (!parsed) {
            continue;
        }
        if (parsed->Type == FileListLine::Kind::Program) {
            parsed->Second = ProgramDirectoryPath(parsed->Second, m_installDir);
            m_lastDir = parsed->Second;
        }
        return parsed;
    }
    return std::nullopt;
}

std::optional<ListedFile> LookUpFileEntry(const AdminContext& context, std::string_view path)
{
    FileListReader reader(context.FileListPath, context.InstallDir);
    while (std::optional<FileListLine> line = reader.Next()) {
        if (line->Type == FileListLine::Kind::File && EqualsNoCase(line->First, path)) {
            return ListedFile{line->First, line->Third};
        }
    }
    return std::nullopt;
}

namespace {

struct EditTarget {
    std::string Path;
    std::string Descriptor; // "" when the file has none
    bool ReadOnly = false;
    bool IsIni = false;
    bool HasExtension = false;
};

std::optional<EditTarget> FindTarget(AdminContext& context)
{
    EditTarget target;
    const std::string user = context.Field("EditUser");
    if (user.empty()) {
        const std::string submitted = std::string(context.Field("File")).substr(0, 259);
        std::optional<ListedFile> listed = LookUpFileEntry(context, submitted);
        if (!listed || !platform::IsRegularFile(listed->Path) || platform::IsSymbolicLink(listed->Path)) {
            context.Write("<H3><CENTER>Unable to Load File for Editing!</CENTER></H3>");
            return std::nullopt;
        }
        target.Path = listed->Path;
        target.ReadOnly = listed->Flags.find("READONLY") != std::string::npos;
    } else {
        target.Path = context.UserIniPath(user);
        target.Descriptor = context.EnginePath("Directories", "BaseDir", "") + "/User.dsc";
        // Neither the user's directory nor the file may be a link: it could lead out of the user directories.
        if (target.Path.empty() || !platform::IsRegularFile(target.Path) || platform::IsSymbolicLink(target.Path) ||
            platform::IsSymbolicLink(platform::ParentDirectory(target.Path))) {
            context.Write("<H3><CENTER>Unable to load User.ini for editing!</CENTER></H3>");
            return std::nullopt;
        }
    }
    const std::size_t slash = target.Path.rfind('/');
    const std::size_t dot = target.Path.rfind('.');
    target.HasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    if (target.HasExtension) {
        target.IsIni = EqualsNoCase(std::string_view(target.Path).substr(dot), ".ini");
        if (target.Descriptor.empty()) {
            target.Descriptor = target.Path.substr(0, dot) + ".dsc";
        }
    }
    return target;
}

// A form value fit for an INI line: at most kMaxFormValue bytes; nullopt when it holds CR, LF or NUL.
std::optional<std::string> IniFormValue(std::string_view value)
{
    value = value.substr(0, std::min(value.size(), kMaxFormValue));
    if (!platform::IsValidIniValue(value)) {
        return std::nullopt;
    }
    std::string out(value);
    if (!out.empty() && out.front() == ' ') {
        out = "\"" + out + "\"";
    }
    return out;
}

void AddChange(std::vector<platform::IniChange>& changes, const std::string& section, std::string_view key,
               const std::string& value)
{
    if (EqualsNoCase(value, "NULL")) {
        changes.push_back({section, std::string(key), std::nullopt});
        return;
    }
    changes.push_back({section, std::string(key), value});
}

bool SaveIni(AdminContext& context, const EditTarget& target)
{
    const platform::IniDocument file = platform::IniLoad(target.Path);
    const platform::IniDocument dsc = platform::IniLoad(target.Descriptor);
    std::vector<platform::IniChange> changes;
    bool refused = false;
    for (const std::string& section : file.SectionNames()) {
        if (EqualsNoCase(dsc.Get(section, section + ":Desc").value_or(""), kDoNotShow)) {
            continue;
        }
        for (const std::string& key : file.KeyNames(section)) {
            if (EqualsNoCase(dsc.Get(section, key).value_or(""), kDoNotShow)) {
                continue;
            }
            const std::string field = section + ":" + key;
            std::optional<std::string> value;
            if (context.HasField(field.c_str())) {
                value = IniFormValue(context.Field(field.c_str()));
            } else if (context.HasField((field + "_ENC_").c_str())) {
                const std::string typed = context.Field((field + "_ENC_").c_str());
                const bool stored = !typed.empty() && (typed.front() == '\\' || typed.front() == '*');
                value = IniFormValue(stored ? typed : ScramblePassword(typed));
            } else {
                continue;
            }
            if (!value) {
                refused = true;
                continue;
            }
            AddChange(changes, section, key, *value);
        }
        const std::string newKeys = std::string(context.Field((section + ":NewKeys").c_str())).substr(0, kMaxFormValue);
        if (newKeys.empty() || EqualsNoCase(dsc.Get(section, section + ":NewKeys").value_or(""), kNoNewKeys)) {
            continue;
        }
        std::string_view rest = newKeys;
        while (!rest.empty()) {
            const std::size_t end = rest.find_first_of("\r\n");
            const std::string_view line = rest.substr(0, end);
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
            const std::size_t equals = line.find('=');
            if (equals == std::string_view::npos) {
                continue;
            }
            const std::string key(TrimmedView(line.substr(0, equals)));
            std::optional<std::string> value = IniFormValue(TrimmedView(line.substr(equals + 1)));
            if (!platform::IsValidIniKey(key) || !value) {
                refused = true;
                continue;
            }
            AddChange(changes, section, key, *value);
        }
    }
    // A link put in place since the file was found is refused, not written through.
    return platform::IniWriteMany(target.Path, changes, platform::IniLinks::Refuse).has_value() && !refused;
}

// Browsers send every line end of a text area as CR LF. A file that had none keeps its LF line ends, so that a save
// without an edit gives back the file's own bytes.
std::string WithLineEndsOf(const std::string& path, std::string content)
{
    const Result<std::string> current = platform::ReadWholeFile(path, kMaxEditedFile);
    if (current && current->find("\r\n") != std::string::npos) {
        return content;
    }
    std::string out;
    out.reserve(content.size());
    for (std::size_t i = 0; i < content.size(); ++i) {
        if (content[i] != '\r' || i + 1 >= content.size() || content[i + 1] != '\n') {
            out.push_back(content[i]);
        }
    }
    return out;
}

bool SaveText(AdminContext& context, const EditTarget& target)
{
    const std::string content = context.Field("Content");
    if (content.empty()) {
        return true;
    }
    if (!platform::WriteFileAtomic(target.Path, WithLineEndsOf(target.Path, content))) {
        return false;
    }
    // The semaphore beside an alias file: the extension of the file's own name replaced, never a ".dat" that a
    // directory name holds.
    const std::size_t nameStart = target.Path.rfind('/') + 1; // npos + 1 == 0: no directory
    const std::string name = Lower(std::string_view(target.Path).substr(nameStart));
    if (name.find("alias.dat") != std::string::npos) {
        std::string semaphore = target.Path;
        semaphore.replace(nameStart + name.find(".dat"), 4, ".sem");
        (void)platform::WriteFileAtomic(semaphore, "");
    }
    return true;
}

// Each line of text (up to kMaxEditedLine bytes a piece) passed to show.
template <class F>
void ForEachLine(std::string_view text, F show)
{
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        do {
            show(line.substr(0, kMaxEditedLine));
            line.remove_prefix(std::min(line.size(), kMaxEditedLine));
        } while (!line.empty());
    }
}

// The file for the read-only view: with TailSize only that many KiB from its end (and never more than
// kMaxEditedFile), so that a large log can still be viewed; otherwise the whole file up to kMaxEditedFile.
std::string ReadForView(const AdminContext& context, const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return {};
    }
    std::uint64_t want = kMaxEditedFile;
    if (context.HasField("TailSize")) {
        want = std::min<std::uint64_t>(
                want, static_cast<std::uint64_t>(std::max(0, ParseDecimalInt(context.Field("TailSize")))) * 1024);
    }
    const std::uint64_t size = platform::FileSize(path).value_or(0);
    if (size > want && std::fseek(file, static_cast<long>(size - want), SEEK_SET) != 0) {
        want = 0;
    }
    std::string text(static_cast<std::size_t>(std::min(size, want)), '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file));
    (void)std::fclose(file);
    return text;
}

void ShowReadOnly(AdminContext& context, const std::string& text, bool startsMidFile)
{
    std::string_view shown = text;
    if (context.HasField("TailSize") && startsMidFile) {
        // The view starts at the first whole line.
        const std::size_t end = shown.find('\n');
        shown.remove_prefix(end == std::string_view::npos ? shown.size() : end + 1);
    }
    std::string out = "<PRE>\n";
    ForEachLine(shown, [&out](std::string_view line) {
        AppendHtmlEscaped(out, line, false);
        out += "\n";
    });
    out += "</PRE>\n";
    context.Write(out);
}

void ShowText(AdminContext& context, const std::string& text)
{
    std::string out = "<CENTER>\n<TEXTAREA WRAP=OFF NAME=\"Content\" COLS=\"90%\" ROWS=\"30\">\n";
    // The bytes as they are (long lines not cut, which a save would make into several; no line end added after the
    // last line), escaped so that the file cannot end the text area; the browser gives back the bytes themselves.
    // The line end after the opening tag is the one the HTML parser drops, so a first empty line survives.
    AppendHtmlEscaped(out, text, true);
    out += "</TEXTAREA><BR>\n<INPUT TYPE=\"Submit\" NAME=\"Save\" VALUE=\"Save Changes\">\n</CENTER>";
    context.Write(out);
}

bool IsYesNo(std::string_view value)
{
    return EqualsNoCase(value, "Yes") || EqualsNoCase(value, "Y") || EqualsNoCase(value, "No") ||
           EqualsNoCase(value, "N");
}

void AppendKeyField(std::string& out, const std::string& section, const std::string& key, const std::string& value,
                    const std::string& description)
{
    const std::string name = section + ":" + key;
    if (description.find("_DISPLAYONLY_") != std::string::npos) {
        out += "<TD WIDTH=\"30%\"><FONT SIZE=1 FACE=\"MS SANS SERIF\">";
        AppendHtmlEscaped(out, value, true);
        out += "</FONT></TD>";
        return;
    }
    if (!StartsWithNoCase(key, "Lang") && IsYesNo(value)) {
        out += "<TD WIDTH=\"30%\"><SELECT NAME=\"";
        AppendHtmlEscaped(out, name, true);
        out += "\"><OPTION VALUE=\"Yes\">Yes</OPTION><OPTION VALUE=\"No\"";
        if (value[0] == 'N' || value[0] == 'n') {
            out += " SELECTED";
        }
        out += ">No</OPTION></SELECT></TD>";
        return;
    }
    const bool stored = !value.empty() && (value.front() == '\\' || value.front() == '*');
    const bool scrambled = description.find("_ENCRYPTED_") != std::string::npos;
    std::string shown = value;
    if (scrambled && !value.empty() && value.front() == '-') {
        shown = value.substr(1);
    } else if (scrambled && !stored) {
        shown = UnscramblePassword(value);
    }
    const bool password = description.find("_PASSWORD_") != std::string::npos && !stored;
    out += password ? "<TD WIDTH=\"30%\"><INPUT TYPE=\"Password\" NAME=\""
                    : "<TD WIDTH=\"30%\"><INPUT TYPE=\"Text\" NAME=\"";
    AppendHtmlEscaped(out, name, true);
    if (scrambled) {
        out += "_ENC_";
    }
    out += "\" VALUE=\"";
    AppendHtmlEscaped(out, shown, true);
    out += "\" SIZE=\"30%\"></TD>";
}

void ShowIni(AdminContext& context, const EditTarget& target)
{
    const platform::IniDocument file = platform::IniLoad(target.Path);
    const platform::IniDocument dsc = platform::IniLoad(target.Descriptor);
    std::string out = "<TABLE WIDTH=\"100%\" CELLSPACING=5 CELLPADDING=0>\n\n";
    for (const std::string& section : file.SectionNames()) {
        const std::string sectionDesc = dsc.Get(section, section + ":Desc").value_or("");
        if (EqualsNoCase(sectionDesc, kDoNotShow)) {
            continue;
        }
        out += "<TR><TD WIDTH=\"20%\" ALIGN=\"RIGHT\"><STRONG><FONT SIZE=2 FACE=\"MS SANS SERIF\"><BR>";
        AppendHtmlEscaped(out, section, true);
        out += "</FONT></STRONG></TD><TD WIDTH=\"30%\" COLSPAN=2><FONT SIZE=2 FACE=\"MS SANS SERIF\"><BR>";
        AppendHtmlEscaped(out, sectionDesc, true);
        out += "</FONT></TD></TR>\n";
        for (const auto& [key, value] : file.Entries(section)) {
            std::string description = dsc.Get(section, key).value_or("");
            if (EqualsNoCase(description, kDoNotShow)) {
                continue;
            }
            out += "<TR><TD WIDTH=\"20%\" ALIGN=\"RIGHT\"><FONT SIZE=1 FACE=\"MS SANS SERIF\">";
            AppendHtmlEscaped(out, key, true);
            out += "</FONT></TD>";
            AppendKeyField(out, section, key, std::string(TrimmedView(value)).substr(0, 1023), description);
            for (const char* marker : {"_DISPLAYONLY_", "_ENCRYPTED_", "_PASSWORD_"}) {
                RemoveAll(description, marker);
            }
            out += "<TD WIDTH=\"50%\"><FONT SIZE=1 FACE=\"MS SANS SERIF\">";
            AppendHtmlEscaped(out, description, true);
            out += "</FONT></TD></TR>\n";
        }
        if (EqualsNoCase(dsc.Get(section, section + ":NewKeys").value_or(""), kNoNewKeys)) {
            continue;
        }
        out += "<TR><TD WIDTH=\"20%\" ALIGN=\"RIGHT\"><FONT SIZE=1 FACE=\"MS SANS SERIF\">Add/remove keys to <STRONG>";
        AppendHtmlEscaped(out, section, true);
        out += "</STRONG> Section</FONT></STRONG></TD><TD WIDTH=\"30%\"><TEXTAREA WRAP=PHYSICAL NAME=\"";
        AppendHtmlEscaped(out, section, true);
        out += ":NewKeys\" COLS=\"30\" ROWS=\"3\"></TEXTAREA></TD><TD><FONT SIZE=1 FACE=\"MS SANS SERIF\">Enter new "
               "keys like this: <Strong>NewKey=New Value</Strong><Br>Delete keys like this: "
               "<Strong>ExistingKey=NULL</STRONG></FONT></TD></TR>\n";
    }
    out += "</TABLE>\n<CENTER><INPUT TYPE=\"Submit\" NAME=\"Save\" VALUE=\"Save Changes\"></CENTER>";
    context.Write(out);
}

} // namespace

void EditFilePage(AdminContext& context)
{
    std::optional<EditTarget> target = FindTarget(context);
    if (!target) {
        return;
    }
    if (context.HasField("Save") && context.Changes == ChangeAllowed::Yes) {
        bool saved = false;
        if (target->ReadOnly) {
            context.Write("<H3><CENTER>This file is read-only: nothing was saved.</CENTER></H3>");
        } else {
            saved = target->IsIni ? SaveIni(context, *target) : SaveText(context, *target);
            context.Write(saved ? "<H3><CENTER>Changes saved.</CENTER></H3>"
                                : "<H3><CENTER>Some changes could not be saved.</CENTER></H3>");
        }
    }
    if (target->ReadOnly || !target->HasExtension || context.HasField("ReadOnly")) {
        const std::string text = ReadForView(context, target->Path);
        ShowReadOnly(context, text, text.size() < platform::FileSize(target->Path).value_or(0));
        return;
    }
    if (!target->IsIni) {
        Result<std::string> text = platform::ReadWholeFile(target->Path, kMaxEditedFile);
        ShowText(context, text ? *text : std::string());
        return;
    }
    ShowIni(context, *target);
}

} // namespace qm::admincgi

// The file editor of the web administration: the files that FileList.dat lists (and a user's User.ini), shown as
// a form of one field per INI key driven by a ".dsc" descriptor, as a text area, or read-only.
#pragma once

#include "admincgi/AdminContext.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace qm::admincgi {

/// One meaningful line of FileList.dat: "Program=name, directory, description" or "File=path, description, flags".
struct FileListLine {
    enum class Kind {
        Program,
        File
    } Type = Kind::File;
    std::string First;  // program name, or file path with "$DIR$" expanded
    std::string Second; // program directory, or file description
    std::string Third;  // program description, or file flags
};

/// Parses one line; nullopt for comments, empty lines, lines without ',' and lines of any other kind.
/// programDir replaces every "$DIR$" of a file path.
std::optional<FileListLine> ParseFileListLine(std::string_view line, std::string_view programDir);

/// Reads FileList.dat for the Program and File blocks: one stream per run, with the line that ended a block kept
/// for the next block.
class FileListReader {
public:
    /// installDir is where relative program directories are taken.
    FileListReader(const std::string& path, std::string installDir);
    ~FileListReader();
    FileListReader(const FileListReader&) = delete;
    FileListReader& operator=(const FileListReader&) = delete;

    /// The next meaningful line, the pending one first; nullopt at the end.
    std::optional<FileListLine> Next();

    /// Keeps line for the next call of Next.
    void PutBack(FileListLine line) { m_pending = std::move(line); }

    std::string ProgramName, ProgramDir, ProgramDesc;
    std::string FilePath, FileDesc, FileFlags;

private:
    std::FILE* m_stream = nullptr;
    std::string m_installDir;
    std::string m_lastDir;
    std::optional<FileListLine> m_pending;
};

/// A program directory of FileList.dat as a path: '\' read as '/', a relative one inside installDir.
std::string ProgramDirectoryPath(std::string_view dir, const std::string& installDir);

/// Finds path in FileList.dat (case-insensitively); the listed spelling and its flags, or nullopt.
struct ListedFile {
    std::string Path;
    std::string Flags;
};

std::optional<ListedFile> LookUpFileEntry(const AdminContext& context, std::string_view path);

/// The Body variable of the EditFile page: saves what the form carries (when changes are allowed), then shows the
/// file.
void EditFilePage(AdminContext& context);

} // namespace qm::admincgi

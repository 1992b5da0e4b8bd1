// Rosterfix's work, without its dialog: finding the users directory, and setting or deleting one key in every
// user's settings file.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qm::tools {

/// The users directory of the installation: [Directories] UserDir of the engine INI, which is iniFromEnvironment
/// when it is not empty ($QUILLMAIL_INI), else Quillmail.ini in programDir, else in its parent, else in the folder
/// that chooseFolder gives (nullopt: cancelled). '\' separators become '/'. nullopt when no INI is found or its
/// UserDir is empty.
std::optional<std::string> FindUserDir(const std::string& programDir, const std::string& iniFromEnvironment,
                                       const std::function<std::optional<std::string>()>& chooseFolder);

/// The user folders of userDir, in the order the listing gives: real directories (a symbolic link is not
/// followed) whose names pass the user-name check, so never one whose name begins with '.'.
std::vector<std::string> ListUserFolders(const std::string& userDir);

/// Which users an add/change spares.
enum class ExceptionMode {
    None,          ///< every user
    IfValueEquals, ///< users whose current value equals the compare value (whole and case-sensitive)
};

/// What the administrator typed. Trailing white space is removed from each text before use.
struct AddChangeRequest {
    std::string Key;
    std::string Value;
    std::string Section;
    ExceptionMode Mode = ExceptionMode::None;
    std::string CompareValue;
};

struct AddChangeCounts {
    int Changed = 0;
    int Skipped = 0;
    int Failed = 0; ///< settings files that could not be written
};

/// Why a request is not run: "" when it can be.
/// "Please complete all necessary information!" when key, value or section (or, in IfValueEquals, the compare
/// value) is empty; another message when the key or the section holds '=', '[', ']' or a control byte or begins
/// with ';'.
std::string CheckAddChange(const AddChangeRequest& request);
std::string CheckDelete(const std::string& key, const std::string& section);

/// Writes section/key = value into the settings file of every user folder (made when missing), sparing the users
/// the mode spares. The request must have passed CheckAddChange.
AddChangeCounts AddChangeKey(const std::string& userDir, const AddChangeRequest& request);

struct DeleteCounts {
    int Processed = 0;
    int Failed = 0;
};

/// Deletes section/key from the settings file of every user folder. Key and section must have passed CheckDelete.
DeleteCounts DeleteKey(const std::string& userDir, const std::string& key, const std::string& section);

/// The completion messages shown after a run.
std::string AddChangeMessage(const AddChangeCounts& counts);
std::string DeleteMessage(const DeleteCounts& counts);

/// The text without its trailing white space (the bytes 1 to 32).
std::string TrimTrailing(const std::string& text);

} // namespace qm::tools

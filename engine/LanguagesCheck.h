// The start-up check of Languages.ini: template texts marked for translation that the English section lacks get
// new numbers, and the file is rewritten sorted by number when anything changed or English fill-ins are asked for.
#pragma once

#include "common/Log.h"

#include <string>

namespace qm::engine {

/// Lowest number that a new template text can get: 1 to 99 are the engine's own messages.
inline constexpr int kFirstTemplateTextNumber = 100;

/// Most entries kept per language; further lines of a section are ignored, and a template text beyond it gets no
/// number.
inline constexpr int kMaxLanguageEntries = 1000;

/// What the check did.
struct LanguagesCheckResult {
    bool Rewritten = false; ///< Languages.ini was replaced (the old one kept as Languages.bak)
    int AddedTexts = 0;     ///< template texts that got new numbers
    int Missing = 0;        ///< translations that were missing (and logged)
};

/// Checks and completes Languages.ini in templateDir against the templates below it (see the header comment).
/// With englishTranslation every missing translation is filled with the English text. The new file is written as
/// Languages.new, synced, the old file kept as Languages.bak (a second link, or a copy), and renamed over
/// Languages.ini in one step; a failure at any step leaves Languages.ini as it was and is logged at level 4.
/// Logs its progress and every missing translation at level 2.
LanguagesCheckResult CheckLanguagesIni(const std::string& templateDir, bool englishTranslation, Logger& log);

/// The start-up form: [Directories] TemplateDir (default "<installation>/Templates") and [Special]
/// EnglishTranslation (default No, written back when missing) of the engine INI.
LanguagesCheckResult CheckLanguagesIni(Logger& log);

} // namespace qm::engine

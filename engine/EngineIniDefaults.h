// Start-up's write-back of every engine INI key with its value or default, so that an administrator always finds
// the full set in the file.
#pragma once

#include "base/Result.h"
#include "platform/IniFile.h"

#include <string>
#include <vector>

namespace qm::engine {

/// The value start-up writes back for each key of the table (in table order), read from iniPath through the INI
/// readers with the table's defaults: booleans as "Yes"/"No", integers in decimal, a scrambled key holding '-' and
/// a plain text as the scrambled text, [Version] Version as "2.2.3", the rest as read.
std::vector<std::string> EngineIniValues(const std::string& iniPath, const std::string& installDir);

/// The changes that write `values` (one per key of the table) into `current`. Within each section of the table the
/// keys end up in table order, after any keys of other uses: when setting them in place would leave another order
/// (keys written earlier or by hand out of order), the section's table keys are removed and written again in order.
std::vector<platform::IniChange> EngineIniWriteBack(const platform::IniDocument& current,
                                                    const std::vector<std::string>& values);

/// Writes every key back, in one locked rewrite of the file.
Result<void> WriteEngineIniDefaults(const std::string& iniPath, const std::string& installDir);

} // namespace qm::engine

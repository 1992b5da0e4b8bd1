// Request data as the engine's log shows it: no byte of it can forge a log line, and no password field shows its
// value.
#pragma once

#include <string>
#include <string_view>

namespace qm::engine {

/// text with every control byte (below 0x20, and 0x7F) written as "\xHH", so that a line end in request data
/// cannot start a forged line of the log.
std::string ForLog(std::string_view text);

/// True when a form field of this (decoded) name holds a password: its name contains "pass", in any case.
bool IsPasswordField(std::string_view name);

/// A URL-encoded query string as the log shows it: the value of every field whose name, decoded as the form decodes
/// it, is a password field becomes "*"; then control bytes are written as by ForLog.
std::string QueryForLog(std::string_view query);

} // namespace qm::engine

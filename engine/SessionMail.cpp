#include "engine/SessionMail.h"

#include "common/IniAccess.h"
#include "common/StringUtil.h"
#include "engine/Engine.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"

#include <cstdio>
#include <cstdlib>

namespace qm::engine {
namespace {

// A welcome text larger than this is not read.
constexpr std::uint64_t kMaxWelcomeFileSize = 1u << 20;

} // namespace

void AdoptFolderFiles(UserRecord& /*user*/, const std::string& /*scratchDir*/)
{
    // Waits for the store's message index (MessageIndex::AdoptFolderFiles with the user's folder list).
}

void CleanUpMailAtSessionEnd(UserRecord& /*user*/, Logger& /*log*/)
{
    // Waits for the store's message index and POP3 client: empty the trash when EmptyTrash is set or a quota is
    // passed (log 207), clear the new flags, drop or keep the entries deleted locally, run the server deletions,
    // save the index.
}

std::string MailDateText(time_t when)
{
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    if (::localtime_r(&when, &local) == nullptr) {
        return {};
    }
    const long offsetMinutes = local.tm_gmtoff / 60;
    const long absolute = std::labs(offsetMinutes);
    char text[64];
    (void)std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[local.tm_wday % 7],
                        local.tm_mday, kMonths[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour, local.tm_min,
                        local.tm_sec, offsetMinutes < 0 ? '-' : '+', absolute / 60, absolute % 60);
    return text;
}

std::vector<std::string> WelcomeMessageLines(std::string_view fileText, const WelcomeFields& fields, time_t now)
{
    std::vector<std::string> lines;
    lines.push_back("Date: " + MailDateText(now));
    while (!fileText.empty()) {
        const std::size_t end = fileText.find('\n');
        std::string line(fileText.substr(0, end));
        fileText = end == std::string_view::npos ? std::string_view() : fileText.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        ReplaceAllNoCase(line, "<$USERNAME$>", fields.UserName);
        ReplaceAllNoCase(line, "<$FULLNAME$>", fields.FullName);
        ReplaceAllNoCase(line, "<$EMAIL$>", fields.EMail);
        lines.push_back(std::move(line));
    }
    return lines;
}

std::optional<std::vector<std::string>> LoadWelcomeMessage(const UserRecord& user, time_t now)
{
    if (!ReadIniBool("AccountCreation", "SendWelcomeMessage", false)) {
        return std::nullopt;
    }
    const std::string baseDir = ReadIniString("Directories", "BaseDir", InstallDir());
    const auto name = platform::ResolveNoCase(baseDir, kWelcomeFileName);
    if (!name) {
        return std::nullopt;
    }
    auto text = platform::ReadWholeFile(platform::PathJoin(baseDir, *name), kMaxWelcomeFileSize);
    if (!text) {
        return std::nullopt;
    }
    const std::string fullName = user.DefaultAccountFullName();
    const std::string email = user.DefaultAccountEMail();
    return WelcomeMessageLines(*text, WelcomeFields{user.Name(), fullName, email}, now);
}

bool StoreWelcomeMessage(UserRecord& /*user*/, const std::vector<std::string>& /*lines*/)
{
    // Waits for the store's message builder and index.
    return false;
}

bool SendWelcomeMessage(UserRecord& user, time_t now)
{
    auto lines = LoadWelcomeMessage(user, now);
    return lines && StoreWelcomeMessage(user, *lines);
}

} // namespace qm::engine

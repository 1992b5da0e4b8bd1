// A stand-in for the engine library in the web administration's tests: the administration exports with canned
// status and session rows. Calls are appended to the file $QM_FAKE_ENGINE_LOG; accounts are directories of
// $QM_FAKE_USER_DIR; $QM_FAKE_START_TIME sets the status block's start time.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

void LogCall(const std::string& line)
{
    const char* path = std::getenv("QM_FAKE_ENGINE_LOG"); // NOLINT(concurrency-mt-unsafe)
    if (path != nullptr) {
        std::ofstream(path, std::ios::app) << line << "\n";
    }
}

struct Row {
    char SessionId[8];
    std::uint32_t ClientAddress;
    std::int32_t LastAccess;
    char UserName[80];
    char FullName[64];
    char EMail[64];
};

constexpr int kRows = 3;

} // namespace

// The exports are found by name only; nothing here declares them.
#pragma GCC diagnostic ignored "-Wmissing-declarations"

extern "C" {

[[gnu::visibility("default")]] void QM_RegisterWindow(std::uint64_t)
{}

[[gnu::visibility("default")]] void QM_UnRegisterWindow(std::uint64_t)
{}

[[gnu::visibility("default")]] void QM_GetStatus(void* buffer)
{
    std::int32_t words[9] = {0, kRows, 4, 50, 5, 6, 7, 8, 0};
    const char* start = std::getenv("QM_FAKE_START_TIME"); // NOLINT(concurrency-mt-unsafe)
    words[0] = start != nullptr ? std::atoi(start) : 1000000000;
    std::memcpy(buffer, words, sizeof words);
    LogCall("status");
}

[[gnu::visibility("default")]] int QM_GetSessionStatus(void* buffer, int max)
{
    static_assert(sizeof(Row) == 224);
    Row rows[kRows] = {};
    std::strcpy(rows[0].SessionId, "ABCDEFG");
    std::strcpy(rows[0].UserName, "<b>bob</b>");
    std::strcpy(rows[0].EMail, "bob@example.org");
    rows[0].ClientAddress = 0x0100007f; // 127.0.0.1 in network order on a little-endian machine
    std::strcpy(rows[1].SessionId, "HIJKLMN");
    std::strcpy(rows[1].UserName, "carol");
    const int n = max < kRows ? max : kRows;
    std::memcpy(buffer, rows, sizeof(Row) * static_cast<std::size_t>(n));
    return n;
}

[[gnu::visibility("default")]] void QM_KillSession(const char* id)
{
    LogCall(std::string("kill ") + id);
}

[[gnu::visibility("default")]] unsigned char QM_UserCreate(const char* user, const char* password, const char* language,
                                                           const char* fullName, const char* email)
{
    LogCall(std::string("create ") + user + "|" + password + "|" + language + "|" + fullName + "|" + email);
    const char* dir = std::getenv("QM_FAKE_USER_DIR"); // NOLINT(concurrency-mt-unsafe)
    if (dir == nullptr || *user == '\0') {
        return 0;
    }
    const std::filesystem::path home = std::filesystem::path(dir) / user;
    std::error_code error;
    if (!std::filesystem::create_directory(home, error)) {
        return 0;
    }
    std::ofstream(home / "User.ini") << "[User]\r\nActive=Yes\r\n[MailHost1]\r\nHost=mail\r\nFullName=" << fullName
                                     << "\r\n";
    return 1;
}

[[gnu::visibility("default")]] unsigned char QM_UserDelete(const char* user)
{
    LogCall(std::string("delete ") + user);
    return 1;
}

[[gnu::visibility("default")]] unsigned char QM_UserRename(const char*, const char*)
{
    return 0;
}

[[gnu::visibility("default")]] unsigned char QM_UserChange(const char*, const char*, const char*, const char*)
{
    return 0;
}

[[gnu::visibility("default")]] unsigned char QM_UserExists(const char*)
{
    return 0;
}

#ifndef QM_FAKE_ENGINE_WITHOUT_DISK_SPACE
[[gnu::visibility("default")]] int QM_UserDiskSpace(const char*)
{
    return 0;
}
#endif
}

#include "portico/AdminLogon.h"

#include "common/IniAccess.h"
#include "common/Scrambler.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Random.h"

#include <cerrno>

namespace qm::portico {

Result<std::string> MakeAdminPassword()
{
    static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    // Bytes from 248 up are dropped: 248 is the largest multiple of 62 below 256, so every character is as likely.
    constexpr unsigned kUsable = 256 - 256 % kAlphabet.size();
    std::string password;
    while (password.size() < kAdminPasswordLength) {
        unsigned char bytes[32];
        if (Result<void> filled = platform::FillRandom(bytes, sizeof bytes); !filled) {
            return Unexpected{filled.error()};
        }
        for (const unsigned char byte : bytes) {
            if (byte < kUsable && password.size() < kAdminPasswordLength) {
                password.push_back(kAlphabet[byte % kAlphabet.size()]);
            }
        }
    }
    return password;
}

Result<std::string> MakeAdminLogonIfNone(const std::string& iniPath)
{
    if (!ReadIniString("AdminWebServer", "Auth", "").empty()) {
        return std::string();
    }
    Result<std::string> password = MakeAdminPassword();
    if (!password) {
        return Unexpected{password.error()};
    }
    const std::string path = platform::PathJoin(platform::ParentDirectory(iniPath), kAdminLogonFileName);
    const std::string text = std::string("# The logon of the admin web server Portico, made by the installation. ") +
                             "[AdminWebServer] Auth of\r\n# Quillmail.ini holds it scrambled; to change it, write "
                             "Auth=-user:password there (it is\r\n# scrambled at the next request). Delete this "
                             "file once the logon is noted.\r\nUser=" +
                             kAdminLogonUser + "\r\nPassword=" + *password + "\r\n";
    if (platform::PathExists(path) || platform::IsSymbolicLink(path)) {
        if (Result<void> removed = platform::RemoveFile(path); !removed) {
            return Unexpected{removed.error()};
        }
    }
    if (Result<void> written = platform::CreateNewFile(path, text); !written) {
        return Unexpected{written.error()};
    }
    // The file first: a logon stored without it would lock the administrator out.
    if (!WriteIniString("AdminWebServer", "Auth", ScramblePassword(std::string(kAdminLogonUser) + ":" + *password))) {
        (void)platform::RemoveFile(path);
        return Fail("cannot write [AdminWebServer] Auth into " + iniPath, EIO);
    }
    return path;
}

} // namespace qm::portico

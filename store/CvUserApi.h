// The companion mail server's user library as its callers see it: the user record and the CV_* entry points.
// Shared by the library itself (companion/CVUser.cpp) and by the binding that loads it (store/CvUserBinding.h),
// so that both agree on every offset and signature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace qm::store {

/// A user handle of the library: 0 and up; kCvNoUser means "no such user".
using CvHandle = std::int32_t;
inline constexpr CvHandle kCvNoUser = -1;

/// The user record (11412 bytes) that CV_GetUserInfo fills and CV_AddUser takes. Every text is NUL-terminated
/// within its field; the rest of the record is the library's own.
struct CvUserInfo {
    char EMail[77];     // the full address, "mailbox@domain"
    char Mailbox[31];   // 30 characters
    char Domain[46];    // 45 characters
    char FullName[31];  // 30 characters
    char WebAccess;     // 1: the user may use the web mail (the library's "Tessera" bit 1)
    char Reserved1[90]; //
    char Password[21];  // 20 characters, plain
    char Reserved2[11115];
};

static_assert(sizeof(CvUserInfo) == 11412);
static_assert(std::is_standard_layout_v<CvUserInfo> && std::is_trivially_copyable_v<CvUserInfo>);
static_assert(offsetof(CvUserInfo, EMail) == 0);
static_assert(offsetof(CvUserInfo, Mailbox) == 77);
static_assert(offsetof(CvUserInfo, Domain) == 108);
static_assert(offsetof(CvUserInfo, FullName) == 154);
static_assert(offsetof(CvUserInfo, Password) == 276);

/// The "what" mask of CV_DeleteUser: the account with its aliases, and its mailbox directory; kCvDeleteAll (511)
/// is every part there is.
inline constexpr int kCvDeleteAccount = 1;
inline constexpr int kCvDeleteMailbox = 2;
inline constexpr int kCvDeleteAll = 511;

/// The entry points, as pointer types. Booleans are int (1 true, 0 false). Every text argument may be null (read as
/// ""); every buffer comes with its size and is always NUL-terminated within it (empty on failure).
extern "C" {
/// The user whose address (or alias address) is `address`, as a new handle; kCvNoUser when unknown.
using CvGetByEmailFn = CvHandle (*)(const char* address);
/// As CvGetByEmail; a name without '@' is looked up in `domain`, or in the default domain when that is "".
using CvGetByAliasFn = CvHandle (*)(const char* nameOrAddress, const char* domain);
/// Releases a handle; kCvNoUser and unknown handles are ignored.
using CvGetFreeFn = void (*)(CvHandle handle);
/// 1 when password is the user's password (exact comparison).
using CvValidateUserFn = int (*)(CvHandle handle, const char* password);
/// Bit `bit` of the user's access bits; bit 1 is web-mail access.
using CvGetTesseraBitFn = int (*)(CvHandle handle, int bit);
/// The user's plain password.
using CvGetPasswordFn = int (*)(CvHandle handle, char* buffer, int size);
/// Stores a new password (at most 20 characters).
using CvSetPasswordFn = int (*)(CvHandle handle, const char* password);
/// The user's mailbox directory, ending in '/'.
using CvGetMailDirFn = int (*)(CvHandle handle, char* buffer, int size);
/// Fills the record from the user.
using CvGetUserInfoFn = int (*)(CvHandle handle, CvUserInfo* record);
/// Zeroes the record and sets the library's defaults (web access on).
using CvInitUserInfoFn = void (*)(CvUserInfo* record);
/// Completes a record for CvAddUser: names folded to lower case, the default domain when none is given, the
/// address built from mailbox and domain, every field cut and terminated.
using CvFilterUserInfoFn = void (*)(CvUserInfo* record);
/// Creates the account and its mailbox directory; fails when the address is taken or a name is not valid.
/// `flags` is reserved (0).
using CvAddUserFn = int (*)(CvUserInfo* record, int flags);
/// Deletes the parts named by `what` (kCvDelete*) of the account whose address or alias is `address`, or, when
/// no account has that name, `alias`.
using CvDeleteUserFn = int (*)(const char* address, const char* alias, int what);
/// The domain served at the IPv4 address `ip`, or the default domain when ip is "" or not configured.
using CvGetDomainNameUsingIPFn = int (*)(const char* ip, char* buffer, int size);
/// Reads the user list again; until the first call the library knows no users.
using CvReloadUsersFn = int (*)();
}

} // namespace qm::store

// Numbers of the messages the request and the logon use: log messages of the engine's table, and the language
// messages (Languages.ini) shown on the pages.
#pragma once

namespace qm::engine {

// Log messages.
inline constexpr int kLogInvalidIp = 224;
inline constexpr int kLogInvalidCookie = 225;
inline constexpr int kLogAlreadyLoggedOn = 226;
inline constexpr int kLogCouldNotKill = 227;
inline constexpr int kLogTooManySessions = 228;
inline constexpr int kLogSessionCreated = 229;
inline constexpr int kLogBadLogon = 230;
inline constexpr int kLogLoggingOut = 233;
inline constexpr int kLogBeginRequest = 235;
inline constexpr int kLogEndRequest = 236;
inline constexpr int kLogNewAccountNoOutputFile = 237;
inline constexpr int kLogNewAccountLogonOk = 238;
inline constexpr int kLogNewAccountLogonFailed = 239;
inline constexpr int kLogNewAccountNoStart = 240;
inline constexpr int kLogNewAccountCompleted = 241;
inline constexpr int kLogAttemptingPop = 243;
inline constexpr int kLogCreatingAccount = 244;
inline constexpr int kLogAccountCreationError = 245;
inline constexpr int kLogNotCreatingAccount = 246;
inline constexpr int kLogNotAllowed = 247;
inline constexpr int kLogAttemptingLogon = 248;
inline constexpr int kLogLdapNotLoaded = 250;
inline constexpr int kLogSystemLogonFailed = 252;
inline constexpr int kLogLdapNoConnection = 260;
inline constexpr int kLogLdapNoLogin = 261;
inline constexpr int kLogLdapSearchError = 262;
inline constexpr int kLogAccountExists = 266;
inline constexpr int kLogUserCreateError = 267;
inline constexpr int kLogMailAccountError = 268;
inline constexpr int kLogAccountCreated = 269;
inline constexpr int kLogNewUserNotification = 270;

// Language messages.
inline constexpr int kTextNoNewAccounts = 12;
inline constexpr int kTextBadNewAccountPassword = 13;
inline constexpr int kTextTooManySessions = 14;
inline constexpr int kTextBadLogon = 15;
inline constexpr int kTextSessionGone = 16;
inline constexpr int kTextNotAllowed = 17;
inline constexpr int kTextAlreadyLoggedOn = 18;
inline constexpr int kTextLoggedOut = 19;
inline constexpr int kTextNoUserName = 33;
inline constexpr int kTextNoPassword = 34;
inline constexpr int kTextPasswordsDiffer = 35;
inline constexpr int kTextAccountExists = 49;
inline constexpr int kTextMailAccountError = 51;
inline constexpr int kTextNoTemplate = 56;
inline constexpr int kTextAccountNotCreated = 74;
inline constexpr int kTextLogonServiceError = 70;
inline constexpr int kTextWrongAddress = 75;
inline constexpr int kTextWrongSessionCookie = 76;
inline constexpr int kTextFormFromOtherSite = 540;
inline constexpr int kTextLeadingHyphen = 541;
inline constexpr int kTextFormsBusy = 542;

} // namespace qm::engine

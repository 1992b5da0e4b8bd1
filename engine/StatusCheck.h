// The status protocol of the watch program: a small text protocol over ordinary engine requests (View StatusCheck)
// that logs the watcher on, hands it its session id, fetches new mail and reports the folders' counts.
#pragma once

#include "common/CgiInput.h"
#include "common/RequestLog.h"
#include "engine/Request.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace qm::engine {

class Session;

/// The version the watch program is told.
inline constexpr std::string_view kWatchVersion = "2.2.3";

/// The head of every status reply.
inline constexpr std::string_view kStatusHead = "Content-type: text/plain\r\nExpires: 0\r\nPragma: no-cache\r\n\r\n";

/// Whether the watch program is served at all: [QMWatch] UseQMWatch (default Yes).
bool UseWatchProgram();

/// What a status request works with; every member outlives the call.
struct StatusCheckSite {
    CgiInput& Input;
    std::FILE* Out; // null: nothing is written, the work still runs
    RequestLog& Log;
    const RequestServices& Services;
    std::string Domain; // the mail domain the request's server address picked
};

/// Answers one status request on site.Out. With UseQMWatch off nothing at all is written. The fields:
/// - GetVersion: only the version element, no session;
/// - GetSession with User and Password: logs the user on (throttled like the logon form) and answers the user's
///   session id, with its Session cookie (when cookies are checked), creating the session when the user has none.
///   A session from another address (with CheckIP on) gets an empty disconnect element, unless TakeOver moves the
///   session to the caller;
/// - Session (without GetSession): the session with that id, only with its Session cookie (when UseCookies and
///   CheckCookie are on; else the head alone) and, with CheckIP on, only from its own address (else an empty
///   disconnect element);
/// - GetMessageCounts: the alert text, if any, then new mail is fetched and every folder's counts written;
/// - GetSessions / GetUsers: the caller's own user's sessions / the caller's own user only.
/// Only a logon with the password arms the hand-over of the session's cookie to the browser: a bare session id
/// never does. The session's own address is never written to a caller at another address.
void StatusCheckPage(const StatusCheckSite& site);

/// The element texts of the reply (each line ends "\n").
std::string VersionElement();
/// Empty: the session's address is not told to a caller from elsewhere.
std::string DisconnectElement();
std::string SessionElement(std::string_view id);
/// The alert text with CR and LF removed, so that it stays one line.
std::string AlertElement(std::string_view text);

/// One folder of the message counts element.
struct FolderCounts {
    std::string Name;
    std::string DisplayName;
    int Total = 0;
    int Unread = 0;
    int New = 0;
    int Recent = 0;
};

std::string FolderLine(const FolderCounts& folder);

} // namespace qm::engine

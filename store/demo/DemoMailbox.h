// DemoMailbox: a few messages for a user's store, put there through the message builder as mail from a server
// would be: a read welcome, an unread message with attachments, an unread message in ISO-8859-1 and a message in
// the folder "Projects". The demo installation and the page tests give their user this mail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qm::store::demo {

/// The folder besides the special ones that the demo mail uses.
inline constexpr const char* kDemoFolder = "Projects";

/// The first line of the text attachment of the demo message with attachments (a text part, shown in the body).
inline constexpr const char* kDemoAttachmentText = "Agenda for Thursday";

/// The file name of that message's picture, a PNG listed as its attachment.
inline constexpr const char* kDemoPictureName = "logo.png";

/// The size in bytes of that PNG.
inline constexpr std::size_t kDemoPictureBytes = 93;

/// One demo message: its folder, whether it is read, and its lines without line ends.
struct DemoMessage {
    std::string Folder;
    bool Read = false;
    std::vector<std::string> Lines;
};

/// The demo messages, dated around now (seconds since the epoch), oldest first.
std::vector<DemoMessage> DemoMessages(std::int64_t now);

/// Stores the demo messages into the store of userDir (which must exist): makes the folders "Inbox", "Drafts",
/// "Sent", "Trash" and kDemoFolder, adds the messages to the user's message index and saves it. "" on success,
/// else what failed.
std::string StoreDemoMail(const std::string& userDir, std::int64_t now);

} // namespace qm::store::demo

#include "store/demo/DemoMailbox.h"

#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"

#include <ctime>

namespace qm::store::demo {
namespace {

// A date header for t (UTC), as a mail server writes it.
std::string DateLine(std::int64_t t)
{
    const auto seconds = static_cast<std::time_t>(t);
    std::tm parts{};
    (void)gmtime_r(&seconds, &parts);
    char text[64];
    (void)std::strftime(text, sizeof text, "Date: %a, %d %b %Y %H:%M:%S +0000", &parts);
    return text;
}

// A 16 by 16 PNG, a chequer of two colours, as base64 lines.
const std::vector<std::string>& PictureLines()
{
    static const std::vector<std::string> kLines = {
            "iVBORw0KGgoAAAANSUhEUgAAABAAAAAQCAIAAACQkWg2AAAAJElEQVR42mPQzrkBR59WysARLnGG",
            "QaiBGEXI4oNRw2g8DAoNAFO3kxAMEcwMAAAAAElFTkSuQmCC",
    };
    return kLines;
}

DemoMessage Welcome(std::int64_t now)
{
    return {"Inbox",
            true,
            {"From: Quillmail Team <team@quillmail.example>", "To: Demo User <demo@quillmail.example>",
             "Subject: Welcome to Quillmail", DateLine(now - 3 * 86400), "Message-ID: <welcome.1@quillmail.example>",
             "MIME-Version: 1.0", "Content-Type: text/plain; charset=us-ascii", "", "Hello,", "",
             "this is your mailbox. Open a message to read it, tick messages in the list to move,",
             "copy or delete them, and write new mail with Write.", "", "The Quillmail team"}};
}

DemoMessage WithAttachments(std::int64_t now)
{
    DemoMessage message{"Inbox",
                        false,
                        {"From: Alice Example <alice@example.org>",
                         "To: Demo User <demo@quillmail.example>",
                         "Subject: Agenda and a picture for Thursday",
                         DateLine(now - 86400),
                         "Message-ID: <agenda.2@example.org>",
                         "MIME-Version: 1.0",
                         "Content-Type: multipart/mixed; boundary=\"demo-boundary-1\"",
                         "",
                         "This is a multi-part message in MIME format.",
                         "--demo-boundary-1",
                         "Content-Type: text/plain; charset=us-ascii",
                         "",
                         "Hi,",
                         "",
                         "the agenda for Thursday is attached, and the logo we talked about.",
                         "",
                         "Alice",
                         "--demo-boundary-1",
                         "Content-Type: text/plain; charset=us-ascii; name=\"agenda.txt\"",
                         "Content-Disposition: attachment; filename=\"agenda.txt\"",
                         ""}};
    message.Lines.insert(message.Lines.end(),
                         {kDemoAttachmentText, "1. Welcome", "2. The new mail pages", "3. Questions", ""});
    message.Lines.insert(message.Lines.end(),
                         {"--demo-boundary-1",
                          std::string("Content-Type: image/png; name=\"") + kDemoPictureName + "\"",
                          "Content-Transfer-Encoding: base64",
                          std::string("Content-Disposition: attachment; filename=\"") + kDemoPictureName + "\"", ""});
    message.Lines.insert(message.Lines.end(), PictureLines().begin(), PictureLines().end());
    message.Lines.emplace_back("--demo-boundary-1--");
    return message;
}

DemoMessage Latin1(std::int64_t now)
{
    // The subject and body are ISO-8859-1, the subject as an encoded word and the body declared in its header.
    return {"Inbox",
            false,
            {"From: =?ISO-8859-1?Q?J=FCrgen_M=FCller?= <juergen@example.de>", "To: demo@quillmail.example",
             "Subject: =?ISO-8859-1?Q?Gr=FC=DFe_aus_K=F6ln?=", DateLine(now - 3600), "Message-ID: <koeln.3@example.de>",
             "MIME-Version: 1.0", "Content-Type: text/plain; charset=iso-8859-1",
             "Content-Transfer-Encoding: quoted-printable", "", "Hallo,", "",
             "viele Gr=FC=DFe aus K=F6ln. Bis Donnerstag!", "", "J=FCrgen"}};
}

DemoMessage Project(std::int64_t now)
{
    return {kDemoFolder,
            true,
            {"From: Bob Builder <bob@example.org>", "To: Demo User <demo@quillmail.example>",
             "Subject: Project plan, second draft", DateLine(now - 2 * 86400), "Message-ID: <plan.4@example.org>",
             "MIME-Version: 1.0", "Content-Type: text/plain; charset=us-ascii", "", "Here is the second draft:", "",
             "  week 1: reading pages", "  week 2: writing pages", "", "Bob"}};
}

} // namespace

std::vector<DemoMessage> DemoMessages(std::int64_t now)
{
    return {Welcome(now), Project(now), WithAttachments(now), Latin1(now)};
}

std::string StoreDemoMail(const std::string& userDir, std::int64_t now)
{
    for (const char* folder : {"Inbox", "Drafts", "Sent", "Trash", kDemoFolder}) {
        if (!platform::MakeDirectories(platform::PathJoin(userDir, folder)).has_value()) {
            return std::string("cannot create the folder ") + folder;
        }
    }
    MessageIndex index(userDir);
    for (const DemoMessage& message : DemoMessages(now)) {
        MessageIndexEntry* entry = StoreMessageLines(index, message.Folder, message.Lines);
        if (entry == nullptr) {
            return "cannot store the message \"" + message.Lines[2] + "\"";
        }
        entry->SetRead(message.Read);
    }
    index.MarkDirty();
    return index.Save() ? "" : "cannot save the message index";
}

} // namespace qm::store::demo

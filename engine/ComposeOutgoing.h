// The outgoing message of a compose: ".message.txt" written from the compose fields and files, its copy into a
// folder of the user's store (the Sent copy, a draft), and the compose form's multipart upload.
#pragma once

#include "common/MultipartUpload.h"
#include "common/OutgoingMessage.h"

#include <string_view>

namespace qm::store {
class MessageIndexEntry;
} // namespace qm::store

namespace qm::engine {

class Request;

/// Language message that names the character set of a language's 8-bit text.
inline constexpr int kTextCharsetName = 64;

/// The inputs of the outgoing message from the request's compose fields and its session's compose directory.
OutgoingMessage OutgoingMessageOf(Request& request);

/// Writes ".message.txt" of the compose directory. Logs "Creating RFC822 e-mail file." at level 1.
OutgoingResult BuildOutgoingMessage(Request& request, MessageForm form);

/// Stores ".message.txt" as a message of folder: a draft with the draft flag, a sent copy read; the mailbox is the
/// Mailbox field, else that of the account whose sender text is From. Writes the store statistics. The new entry,
/// or null when there is no message file or it could not be stored.
store::MessageIndexEntry* StoreComposedMessage(Request& request, std::string_view folder, MessageForm form);

/// Reads the request's multipart body into the form fields and the compose directory. Its files may add no more
/// than what [General] MaxAttachmentsSize leaves beside the attachments already there (a file that replaces one
/// of the same name counts in full); a file that would pass that is dropped (UploadStatus::FileTooLarge).
UploadResult ReadComposeUpload(Request& request);

} // namespace qm::engine

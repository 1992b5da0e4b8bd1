// MultipartUpload: the streaming multipart/form-data parser of the compose form: ordinary fields become form
// variables, the Body field goes to the compose text file, and an attachment is streamed byte for byte into the
// compose directory, whatever its size.
#pragma once

#include "common/NameValueList.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

/// The caps of one upload. Every one of them exceeded ends the parse with an error status.
struct MultipartLimits {
    std::size_t MaxHeaderLine = std::size_t{8} * 1024;       ///< one part header line, line end excluded
    std::size_t MaxPartHeaderBytes = std::size_t{32} * 1024; ///< all header lines of one part together
    std::size_t MaxFieldValue = std::size_t{1} << 20;        ///< one ordinary field value, held in memory
    std::size_t MaxParts = 256;                              ///< parts of the body
    std::uint64_t MaxTotalBytes = std::uint64_t{1} << 30;    ///< the whole body (streamed, never held)
    /// The file data this body may store, its files together. A file that would pass it is dropped (the status
    /// FileTooLarge) and the rest of the body is parsed as usual.
    std::uint64_t MaxFileBytes = UINT64_MAX;
};

/// How an upload went. Complete, FileNameRefused and FileTooLarge leave every accepted field and file in place; every other
/// status means the request must not be acted on (a part that was cut off is not stored).
enum class UploadStatus {
    Complete,        ///< the closing delimiter was reached
    FileNameRefused, ///< complete, but a file with a name that fails the name check was dropped
    FileTooLarge,    ///< complete, but a file that would have passed MaxFileBytes was dropped
    NoBoundary,      ///< no usable boundary parameter; nothing was read
    TooLarge,        ///< the body (announced or read) is larger than MaxTotalBytes
    TooManyParts,    ///< more than MaxParts parts
    HeaderTooLong,   ///< a part header line or a part's header block over its cap, or an over-long name
    FieldTooLong,    ///< an ordinary field value over MaxFieldValue
    Truncated,       ///< the body ended before the closing delimiter
    WriteFailed,     ///< a file of the compose directory could not be written
};

struct UploadResult {
    UploadStatus Status = UploadStatus::Complete;
    std::vector<std::string> StoredFiles;  ///< attachment names stored in the compose directory, in body order
    std::vector<std::string> RefusedNames; ///< file names that failed the name check (as sent, cut to 255 bytes)
    std::vector<std::string> TooLargeNames; ///< files dropped because they would have passed MaxFileBytes
};

/// The boundary of a multipart Content-Type value: the "boundary" parameter (name without regard to case), quoted
/// or not, ended by ';' or white space when not quoted. nullopt when there is none, or when it is empty, longer
/// than 70 bytes or holds a byte outside the boundary alphabet (digits, letters and '()+_,-./:=? ' within, no
/// blank at its end).
std::optional<std::string> MultipartBoundary(std::string_view contentType);

/// A multipart/form-data body fed in pieces of any size (a delimiter may be split anywhere). Memory stays bounded
/// by the limits, whatever the size of the pieces: file data and the Body text go to files as they arrive.
///
/// Parts: a field named "Body" (any case) is stored in <composeDir>/.body.txt with every line end made CR LF (the
/// text as typed, no line end added after the last line). A field named "Attachment" (any case) with a file is
/// stored byte for byte as <composeDir>/<file name>, where the file name is its last component after '\', '/'
/// and ':' and must pass the name check (IsSafeName: no separator, no leading '.', no control byte, at most 255
/// bytes; and not "body.txt", "body.tmp", "headers.txt", "message.txt" or "upload.part" in any case, whose '.'
/// forms are the compose's own files); it sets AttachName, AttachType and AttachBoundary. An empty file field is
/// skipped. Any other field sets the form variable of its name (an image button's ".x"/".y" dropped) to the last
/// non-empty line of its value. Files are written under a temporary name and take their own name only when their part
/// is complete, so a cut upload never replaces or leaves a file. Not thread-safe.
class MultipartParser {
public:
    MultipartParser(std::string boundary, std::string composeDir, NameValueList& fields, MultipartLimits limits = {});
    MultipartParser(const MultipartParser&) = delete;
    MultipartParser& operator=(const MultipartParser&) = delete;
    ~MultipartParser();

    /// Takes the next bytes of the body. Returns false once parsing has ended (closing delimiter or an error);
    /// the bytes after the closing delimiter are ignored.
    bool Feed(std::string_view bytes);

    /// Ends the body: a body without its closing delimiter is Truncated. Returns the result; call it once.
    UploadResult Finish();

private:
    enum class State {
        Preamble,
        Headers,
        Data,
        Done
    };
    enum class Sink {
        Drop,
        Field,
        Body,
        File
    };

    void FeedPiece(std::string_view bytes);
    void ScanData();
    bool TakeDelimiterEnd(std::size_t at, std::size_t& consumed, bool& closing) const;
    void EmitData(std::string_view bytes);
    void HeaderLine(std::string_view line);
    void StartPartData();
    void EndPart();
    void AbortPart();
    void Fail(UploadStatus status);
    std::string TempPath() const;

    std::string m_delimiter; // "\r\n--" + boundary
    std::string m_boundary;
    std::string m_dir;
    NameValueList& m_fields;
    MultipartLimits m_limits;
    UploadResult m_result;
    State m_state = State::Preamble;
    std::string m_pending; // bytes seen but not yet taken (a delimiter may start in them)
    std::uint64_t m_total = 0;
    std::size_t m_parts = 0;
    // The current part.
    std::string m_headerLine;
    std::string m_lastHeader; // the header a continuation line belongs to
    std::size_t m_headerBytes = 0;
    std::string m_name;
    std::optional<std::string> m_fileName; // present when the disposition names a file
    std::string m_type;
    Sink m_sink = Sink::Drop;
    std::string m_value;
    std::FILE* m_file = nullptr;
    bool m_lastWasCr = false; // Body: the previous byte written was a CR
    std::uint64_t m_fileBytes = 0; // file data stored by this body, the current file's included
    std::uint64_t m_partBytes = 0; // of that, the current file's
};

/// Reads a multipart/form-data body of contentLength bytes from input (at most that many, never past the closing
/// delimiter) and parses it as MultipartParser does. A content type without a usable boundary reads nothing
/// (NoBoundary); a contentLength over MaxTotalBytes reads nothing (TooLarge).
UploadResult ParseMultipartUpload(std::FILE* input, std::string_view contentType, std::uint64_t contentLength,
                                  const std::string& composeDir, NameValueList& fields,
                                  const MultipartLimits& limits = {});

} // namespace qm

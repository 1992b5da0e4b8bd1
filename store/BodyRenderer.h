// BodyRenderer: writes the body of a stored message, or of one of its parts, for the Message page or for compose.
#pragma once

#include "store/HtmlSanitizer.h"
#include "store/PartIndex.h"
#include "store/StoreSeams.h"
#include "store/StoreText.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace qm::store {

/// Display: HTML for the Message page. Raw: the decoded bytes (compose copies texts and attachments with it).
enum class RenderMode {
    Display,
    Raw,
};

/// The bounds of one rendering in display mode. Raw mode streams and has no size bound but the line budget.
struct BodyRenderLimits {
    /// Decoded bytes of a body that are shown; the rest is left out and CutNote written instead.
    std::size_t MaxDisplayBytes = std::size_t{2} << 20;
    /// Written (as HTML) after a body that was cut.
    std::string CutNote = "<BR>\r\n<I>[The rest of this message is too long to be shown here.]</I><BR>\r\n";
};

/// The largest line budget: what a message without part index, or a decoded temporary file, is read with.
inline constexpr std::uint32_t kWholeFileLines = 10000000;

/// Renders one message or one part of it to a stream.
///
/// Display mode: transfer encodings are decoded; plain text (and every type but HTML) is escaped with its links,
/// "www." host names and (with a session) e-mail addresses made into links; an HTML body is rebuilt by the HTML
/// sanitizer (the inside of its BODY only, "cid:" images turned into attachment links of the session, remote
/// images only when asked for). A body of more than MaxDisplayBytes decoded bytes is cut with a note. With a
/// session, an encoded body is first decoded into ".body.tmp" of the session's temporary directory (one request
/// per session renders at a time), which Close removes.
///
/// JIS text (the charset names ISO-2022-JP, or the user's language is "ja" and a line holds ESC '$' and later ESC '(')
/// becomes Shift-JIS, the kanji mode carried from line to line. Binary parts are never converted.
///
/// Raw mode writes the decoded bytes as they are (an HTML body too): whoever puts them into a page escapes them.
/// Display mode writes no control byte but TAB, CR and LF.
///
/// Long lines are read in pieces of up to 4095 bytes and joined again, never broken. A message file that cannot be
/// opened renders nothing. Not thread-safe: one renderer per thread.
class BodyRenderer {
public:
    /// out stays owned by the caller and must outlive the renderer; request may be null (no session) and must
    /// outlive the renderer too. The message file is opened here.
    BodyRenderer(std::FILE* out, const char* messagePath, RenderMode mode, const RenderContext* request,
                 const BodyRenderLimits& limits = {});
    BodyRenderer(const BodyRenderer&) = delete;
    BodyRenderer& operator=(const BodyRenderer&) = delete;
    ~BodyRenderer();

    /// Whether images on other hosts are shown in HTML bodies (the page passes the user's "show images" request).
    void SetRemoteImages(RemoteImages images) { m_remoteImages = images; }

    /// True once an HTML body had remote images left out, so the page can offer to show them.
    bool RemoteImagesBlocked() const { return m_remoteImagesBlocked; }

    /// True when the last body shown was cut at MaxDisplayBytes.
    bool BodyCut() const { return m_bodyCut; }

    /// True when the last body shown had JIS text turned into Shift-JIS, so the page reads it as Shift-JIS.
    bool ShiftJisWritten() const { return m_kind != Kind::Other && m_japanese == Japanese::Convert; }

    /// False when the message file could not be opened.
    bool IsOpen() const { return m_file != nullptr; }

    /// Renders a message that has no part index: reads its header block for "Content-Type: " (up to 255 characters,
    /// continuation lines joined after a blank; default "text/plain") and "Content-Transfer-Encoding: " (up to 63;
    /// default "7bit"), then renders the rest of the file.
    void RenderMessage();

    /// Renders one part: its body from part.Offset, part.LineCount lines, with its encoding and content type.
    void RenderPart(const PartIndexEntry& part);

    /// Closes the message file and removes the temporary file when one was made. The destructor calls it.
    void Close();

private:
    enum class Encoding {
        None,
        Base64,
        QuotedPrintable,
        Uuencode
    };
    enum class Kind {
        Other,
        Html,
        Text
    };
    enum class Japanese {
        None,
        WhenEscaped,
        Convert
    };

    class ChunkReader;

    void Setup(std::string_view encoding, std::string_view contentType);
    void Render(ChunkReader& reader);
    bool Prepare(ChunkReader& reader);
    bool NextLine(ChunkReader& reader, std::string& decoded);
    bool Decode(std::string_view chunk, bool lineEnded, std::string& decoded);
    void DecodeBase64(std::string_view chunk, std::string& decoded);
    bool DecodeQuotedPrintable(std::string_view piece, bool lineEnded, std::string& decoded);
    static void DecodeUuencode(std::string_view chunk, std::string& decoded);
    void ConvertJapanese(std::string& text);
    void RenderHtml(ChunkReader& reader);
    void RenderText(ChunkReader& reader);
    void Linkify(const std::string& text);
    void WriteLink(std::string_view href, std::string_view prefix, std::string_view text);
    void WriteComposeLink(std::string_view address);
    void WriteEscaped(std::string_view text);
    void Flush();
    bool HasSession() const;

    std::FILE* m_out;
    FilePtr m_file;
    RenderMode m_mode;
    const RenderContext* m_request;
    BodyRenderLimits m_limits;
    Encoding m_encoding = Encoding::None;
    Kind m_kind = Kind::Text;
    Japanese m_japanese = Japanese::None;
    bool m_kanjiMode = false; // the JIS conversion's mode, carried from line to line
    std::uint32_t m_budget = 0;
    std::uint32_t m_base64Bits = 0;
    int m_base64BitCount = 0;
    std::string m_qpCarry; // a quoted-printable escape cut by the end of a piece, put before the next piece
    bool m_tempFileMade = false;
    std::string m_tempPath;
    char m_previous = ' '; // the last character written; see WriteEscaped
    std::string m_page;    // output waiting to be written
    std::size_t m_shown = 0;
    RemoteImages m_remoteImages = RemoteImages::Block;
    bool m_remoteImagesBlocked = false;
    bool m_bodyCut = false;
};

} // namespace qm::store

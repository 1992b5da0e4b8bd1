// CgiInput: the form variables, cookies and environment of one CGI request; and URL decoding, URL encoding and HTML
// escaping for the pages.
#pragma once

#include "common/NameValueList.h"
#include "common/StringList.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace qm {

/// The largest URL-encoded POST body that ReadInput reads. A larger body is left unread and the input is marked
/// Overflowed(), so that the request is refused rather than run on part of its form. (Uploads are multipart
/// bodies, which ReadInput never reads.)
inline constexpr std::size_t kMaxFormPostBytes = std::size_t{32} << 20;

/// The most form fields one request contributes (query string and body together); later fields are not taken and
/// the input is marked Overflowed(). Every field looks up the fields before it, so without a limit a body of many
/// short fields costs time that grows with the square of its length.
inline constexpr std::size_t kMaxFormFields = 2048;

/// Why a request's form was not taken whole.
enum class InputOverflow {
    None,          ///< every field was taken
    TooManyFields, ///< more than kMaxFormFields fields
    BodyTooLarge,  ///< a POST body of more than kMaxFormPostBytes
};

/// The input of one CGI request: form variables from the query string and from a URL-encoded POST body, cookies,
/// and look-ups of CGI environment variables. The streams and the environment block are not owned and must outlive
/// the object. Not thread-safe: one thread at a time.
class CgiInput {
public:
    /// Stores the streams and the environment block; reads nothing yet. `input` may be null (no request body).
    /// `environment` is a block of NUL-terminated "NAME=value" entries ended by an empty entry, or null to use the
    /// process environment.
    CgiInput(std::FILE* input, std::FILE* output, const char* environment);
    CgiInput(const CgiInput&) = delete;
    CgiInput& operator=(const CgiInput&) = delete;

    /// Reads the query string, a URL-encoded POST body of at most kMaxFormPostBytes (as far as the input holds it,
    /// never more than CONTENT_LENGTH) and the cookies into the lists. Call it once, after adding every field name
    /// that may legitimately repeat to MultiValuedNames(). `binary` asks for streams without line-end translation,
    /// which is what every stream on this system already is.
    void ReadInput(bool binary);

    /// The length of the URL-encoded POST body that ReadInput reads: CONTENT_LENGTH when the request has an input
    /// and that content type, else 0. A length over kMaxFormPostBytes is given as it is (ReadInput refuses it).
    std::size_t FormBodyLength() const;

    /// The value of a CGI environment variable, or "" when it is missing; never null. Names in an environment block
    /// are matched without regard to ASCII case; the process environment is matched exactly (CGI names are upper
    /// case). The result stays valid as long as the environment does.
    const char* GetEnv(const char* name) const;

    /// Splits URL-encoded form text ("a=1&b=2") into the form variables, decoding names and values; modifies text.
    /// A name ending in ".x" or ".y" (an image button's coordinates) loses that ending. A multi-valued name is
    /// appended on every occurrence; any other name keeps the value of its last occurrence. Fields beyond the
    /// kMaxFormFields-th of the request are not taken, and the input is marked Overflowed().
    void ParseFormData(char* text);

    /// Whether (and why) part of the form was not taken. A request whose form overflowed must not be acted on.
    InputOverflow Overflowed() const { return m_overflow; }

    NameValueList& Variables() { return m_variables; }

    const NameValueList& Variables() const { return m_variables; }

    NameValueList& Cookies() { return m_cookies; }

    const NameValueList& Cookies() const { return m_cookies; }

    /// Names of form fields that may occur several times (compared without regard to ASCII case).
    StringList& MultiValuedNames() { return m_multiValuedNames; }

    std::FILE* Input() const { return m_input; }

    std::FILE* Output() const { return m_output; }

private:
    void ReadFormBody();
    void ReadCookies();
    void TakeFormField(std::string&& field);

    NameValueList m_variables;
    std::FILE* m_input;
    std::FILE* m_output;
    const char* m_environment;
    mutable const char* m_lastHit = nullptr; // the block entry the previous GetEnv found
    std::size_t m_formFields = 0;            // fields ParseFormData has taken so far
    InputOverflow m_overflow = InputOverflow::None;
    StringList m_multiValuedNames;
    NameValueList m_cookies;
};

/// Decodes URL-encoded text in place: '+' becomes a space, '%' and two characters become one byte (a character
/// that is not a hexadecimal digit counts as 0), every other byte stays. A decoded NUL ends the text. A '%' with
/// fewer than two characters after it stays as it is, with what follows.
void UrlDecode(char* s);

/// The name a raw (still URL-encoded) form field name gives in the form variables: an image button's ".x" or ".y"
/// ending dropped, then URL-decoded, as ParseFormData does it.
std::string DecodeFormName(std::string_view raw);

/// Writes the URL-encoded form of text into out (size bytes, NUL included): letters, digits and "$-_.!*'(),~" stay,
/// every other byte becomes '%' and two upper-case hexadecimal digits. When the result does not fit, out holds the
/// encoded bytes that fit whole and the result is false. A null text gives "".
bool UrlEncode(char* out, const char* text, std::size_t size);

/// Appends the URL-encoded form of text to out (a NUL byte becomes "%00").
void AppendUrlEncoded(std::string& out, std::string_view text);

/// The URL-encoded form of text.
std::string UrlEncode(std::string_view text);

/// Writes text to out with HTML escaping. Always: '"', '&', '<' and '>' become entities. Not raw: LF becomes "<BR>"
/// and CR LF, CR is dropped, spaces alternate "&nbsp;" and ' ' so that runs of spaces and the leading spaces of
/// every line stay visible, and a TAB counts as two spaces. Raw: every other byte is itself. No byte gives more than
/// 7 bytes of output, so the output stays within a small multiple of the text. A null text or a null stream writes
/// nothing.
void WriteHtmlEscaped(const char* text, std::FILE* out, bool raw);

/// The same escaping, appended to a string.
void AppendHtmlEscaped(std::string& out, std::string_view text, bool raw);

} // namespace qm

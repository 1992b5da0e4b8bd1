// libFuzzer target for the CGI input: the environment block, the query string, a URL-encoded body and the cookies,
// then the URL and HTML coding of the same bytes. The input: a flags byte, then the environment block's entries
// ("NAME=value", each ended by a NUL; an empty entry ends the block), then the request body. Checks what must hold
// for every input: the form keeps to its field limit, encoding and decoding round-trip, an encoding cut to a
// buffer is a prefix of whole escapes, and escaped HTML holds no markup of its own.
#include "common/CgiInput.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void Broken(const char* what)
{
    static_cast<void>(std::fprintf(stderr, "CGI input invariant broken: %s\n", what));
    std::abort();
}

// A stream holding body, or null when no temporary file can be made (the body is then simply absent).
std::FILE* BodyStream(std::string_view body)
{
    std::FILE* file = std::tmpfile();
    if (file == nullptr) {
        return nullptr;
    }
    if (std::fwrite(body.data(), 1, body.size(), file) != body.size() || std::fseek(file, 0, SEEK_SET) != 0) {
        static_cast<void>(std::fclose(file));
        return nullptr;
    }
    return file;
}

void ReadRequest(std::uint8_t flags, const std::string& environment, std::string_view body)
{
    std::FILE* input = (flags & 1U) != 0 ? BodyStream(body) : nullptr;
    {
        qm::CgiInput cgi(input, nullptr, environment.c_str());
        if ((flags & 2U) != 0) {
            cgi.MultiValuedNames().Add("TO");
            cgi.MultiValuedNames().Add("ID");
        }
        cgi.ReadInput(true);
        if (static_cast<std::size_t>(cgi.Variables().Count()) > qm::kMaxFormFields) {
            Broken("more form fields than the limit");
        }
        // Every look-up of what was read must work.
        for (int i = 0; i < cgi.Variables().Count(); ++i) {
            const qm::NameValuePair* pair = cgi.Variables().Item(i);
            if (cgi.Variables().Find(pair->Name()) == nullptr) {
                Broken("a form field cannot be found by its name");
            }
        }
        static_cast<void>(cgi.GetEnv("CONTENT_LENGTH"));
    }
    if (input != nullptr) {
        static_cast<void>(std::fclose(input));
    }
}

void CheckCoding(std::string_view text)
{
    const std::string encoded = qm::UrlEncode(text);
    if (text.find('\0') == std::string_view::npos) {
        std::string decoded = encoded;
        qm::UrlDecode(decoded.data());
        if (std::string_view(decoded.c_str()) != text) {
            Broken("URL decoding does not undo URL encoding");
        }
    }
    // The same encoding into buffers too small for it: whole escapes only, and false exactly when cut.
    const std::string asText(text.substr(0, text.find('\0')));
    const std::string whole = qm::UrlEncode(asText);
    for (const std::size_t size :
         {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{5}, whole.size(), whole.size() + 1}) {
        if (size == 0) {
            continue; // no room even for the NUL: nothing is written
        }
        std::vector<char> out(size, 'Z');
        const bool fits = qm::UrlEncode(out.data(), asText.c_str(), size);
        const auto nul = std::find(out.begin(), out.end(), '\0');
        if (nul == out.end()) {
            Broken("a URL encoding into a buffer is not ended");
        }
        const std::string_view got(out.data(), static_cast<std::size_t>(nul - out.begin()));
        if (whole.compare(0, got.size(), got) != 0 || fits != (got.size() == whole.size())) {
            Broken("a cut URL encoding is not a prefix of the whole one");
        }
        const std::size_t next = got.size() < whole.size() && whole[got.size()] == '%' ? 3 : 1;
        if (got.size() < whole.size() && got.size() + next + 1 <= size) {
            Broken("a cut URL encoding stopped before an escape that fit");
        }
    }

    for (const bool raw : {true, false}) {
        std::string html;
        qm::AppendHtmlEscaped(html, text, raw);
        if (html.size() > text.size() * 13) {
            Broken("HTML escaping grew more than 13 bytes a byte");
        }
        std::string rest;
        for (std::size_t pos = 0; pos < html.size();) {
            if (!raw && html.compare(pos, 4, "<BR>") == 0) {
                pos += 4;
            } else {
                rest += html[pos++];
            }
        }
        if (rest.find_first_of("<>\"") != std::string::npos) {
            Broken("escaped HTML holds a markup byte");
        }
    }
}

} // namespace

// The entry that libFuzzer, or the replay main of the test builds, calls for every input.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    // The block ends at the first empty entry (two NULs in a row, or a NUL first); a block cut short is ended here.
    std::size_t end = input.find(std::string_view("\0\0", 2));
    std::string environment;
    std::string_view body;
    if (!input.empty() && input.front() == '\0') {
        body = input.substr(1);
    } else if (end == std::string_view::npos) {
        environment = std::string(input);
    } else {
        environment = std::string(input.substr(0, end + 1));
        body = input.substr(end + 2);
    }
    environment.append(2, '\0');

    ReadRequest(data[0], environment, body);
    CheckCoding(body);
    return 0;
}

// The style attribute filter of the HTML sanitizer: declarations of an allow-list of layout and text properties
// whose values can load nothing, run nothing and place nothing outside the mail.
#include "common/StringUtil.h"
#include "store/HtmlSanitizer.h"

#include <algorithm>
#include <array>

namespace qm::store {
namespace {

// The longest style attribute value that is looked at; a longer one is dropped whole.
constexpr std::size_t kMaxStyleLength = 8192;

constexpr std::array<std::string_view, 47> kProperties = {
        "background",
        "background-color",
        "border-collapse",
        "border-spacing",
        "caption-side",
        "clear",
        "color",
        "direction",
        "display",
        "empty-cells",
        "float",
        "font",
        "font-family",
        "font-size",
        "font-stretch",
        "font-style",
        "font-variant",
        "font-weight",
        "height",
        "letter-spacing",
        "line-height",
        "list-style",
        "list-style-position",
        "list-style-type",
        "max-height",
        "max-width",
        "min-height",
        "min-width",
        "overflow",
        "overflow-wrap",
        "overflow-x",
        "overflow-y",
        "table-layout",
        "text-align",
        "text-decoration",
        "text-indent",
        "text-overflow",
        "text-transform",
        "vertical-align",
        "visibility",
        "white-space",
        "width",
        "word-break",
        "word-spacing",
        "word-wrap",
        "text-decoration-color",
        "text-decoration-style",
};

bool IsAllowedProperty(std::string_view name)
{
    for (const std::string_view p : kProperties) {
        if (p == name) {
            return true;
        }
    }
    // Box edges: every margin, padding and border property but the border images, which load a URL.
    if (name == "margin" || name.starts_with("margin-") || name == "padding" || name.starts_with("padding-")) {
        return true;
    }
    return (name == "border" || name.starts_with("border-")) && name.find("image") == std::string_view::npos;
}

bool IsValueByte(char c)
{
    if (static_cast<unsigned char>(c) >= 0x80) {
        return true; // a character of a font name (the parser's UTF-8)
    }
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
        return true;
    }
    return std::string_view(" #%.,-+()'\"!/_").find(c) != std::string_view::npos;
}

// The only functions a value may call: colours.
bool IsAllowedFunction(std::string_view name)
{
    return EqualsNoCase(name, "rgb") || EqualsNoCase(name, "rgba") || EqualsNoCase(name, "hsl") ||
           EqualsNoCase(name, "hsla");
}

bool IsAllowedValue(std::string_view property, std::string_view value)
{
    if (value.empty()) {
        return false;
    }
    const bool fontNames = property == "font-family" || property == "font";
    // Negative offsets and raised text can move the mail over the page around it.
    const bool noNegative = property == "margin" || property.starts_with("margin-") || property == "text-indent" ||
                            property == "letter-spacing" || property == "word-spacing";
    if (property == "vertical-align") {
        return std::ranges::all_of(value, [](char c) { return (c >= 'a' && c <= 'z') || c == '-'; });
    }
    int doubleQuotes = 0;
    int singleQuotes = 0;
    bool inCall = false;
    std::size_t identStart = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (!IsValueByte(c)) {
            return false; // escapes, comments, braces, '@', '<', ';' and control bytes never pass
        }
        if (c == '"') {
            ++doubleQuotes;
        } else if (c == '\'') {
            ++singleQuotes;
        }
        if ((c == '"' || c == '\'') && !fontNames) {
            return false;
        }
        if (c == '-' && noNegative) {
            return false;
        }
        if (c == '(') {
            if (inCall || !IsAllowedFunction(value.substr(identStart, i - identStart))) {
                return false;
            }
            inCall = true;
        } else if (c == ')') {
            if (!inCall) {
                return false;
            }
            inCall = false;
        }
        const bool identByte = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
        if (!identByte) {
            identStart = i + 1;
        }
    }
    return !inCall && doubleQuotes % 2 == 0 && singleQuotes % 2 == 0;
}

void TakeDeclaration(std::string_view declaration, std::string& out)
{
    const std::size_t colon = declaration.find(':');
    if (colon == std::string_view::npos) {
        return;
    }
    std::string property(TrimmedView(declaration.substr(0, colon)));
    for (char& c : property) {
        c = FoldCase(c);
    }
    const std::string_view value = TrimmedView(declaration.substr(colon + 1));
    if (!IsAllowedProperty(property) || !IsAllowedValue(property, value)) {
        return;
    }
    if (!out.empty()) {
        out += "; ";
    }
    out += property;
    out += ": ";
    out += value;
}

} // namespace

std::string SanitizeStyle(std::string_view css)
{
    std::string out;
    if (css.size() > kMaxStyleLength) {
        return out;
    }
    // Declarations end at ';' outside quotes.
    std::size_t start = 0;
    char quote = 0;
    for (std::size_t i = 0; i <= css.size(); ++i) {
        const char c = i < css.size() ? css[i] : ';';
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            }
            if (i < css.size()) {
                continue;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
            continue;
        }
        if (c == ';' || i == css.size()) {
            TakeDeclaration(css.substr(start, i - start), out);
            start = i + 1;
        }
    }
    return out;
}

} // namespace qm::store

// Checks rendered page text the way a browser would see it: parses it with the HTML5 parser and reports the
// first element, attribute or URL that must never reach the page. Shared by the tests and the body fuzzer.
#pragma once

#include "common/StringUtil.h"
#include "store/HtmlSanitizer.h"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gumbo.h>

namespace qm::store::test {

struct SafetyRules {
    /// A relative link or image source must begin with this (the session's links); empty: none is allowed.
    std::string SessionPrefix;
    /// Whether http and https image sources may appear.
    bool RemoteImages = false;
};

inline bool IsSafeElementName(std::string_view name)
{
    static constexpr std::string_view kNames[] = {
            "html",     "head", "body",   "a",          "abbr", "acronym", "address", "article", "aside", "b",
            "bdi",      "bdo",  "big",    "blockquote", "br",   "caption", "center",  "cite",    "code",  "col",
            "colgroup", "dd",   "del",    "details",    "dfn",  "div",     "dl",      "dt",      "em",    "figcaption",
            "figure",   "font", "footer", "h1",         "h2",   "h3",      "h4",      "h5",      "h6",    "header",
            "hgroup",   "hr",   "i",      "img",        "ins",  "kbd",     "li",      "main",    "mark",  "nav",
            "ol",       "p",    "pre",    "q",          "rp",   "rt",      "ruby",    "s",       "samp",  "section",
            "small",    "span", "strike", "strong",     "sub",  "summary", "sup",     "table",   "tbody", "td",
            "tfoot",    "th",   "thead",  "time",       "tr",   "tt",      "u",       "ul",      "var",   "wbr"};
    return std::ranges::find(kNames, name) != std::end(kNames);
}

inline bool IsSafeAttributeName(std::string_view name)
{
    static constexpr std::string_view kNames[] = {
            "align",   "alt",      "bgcolor", "border", "cellpadding", "cellspacing", "clear", "color",
            "colspan", "datetime", "dir",     "face",   "height",      "href",        "lang",  "nowrap",
            "rowspan", "scope",    "size",    "span",   "src",         "start",       "style", "title",
            "type",    "valign",   "target",  "rel",    "width"};
    return std::ranges::find(kNames, name) != std::end(kNames);
}

/// The reason why url may not stand in attribute name, or "".
inline std::string CheckUrl(std::string_view name, std::string_view url, const SafetyRules& rules)
{
    if (!rules.SessionPrefix.empty() && url.starts_with(rules.SessionPrefix)) {
        return {};
    }
    const std::string_view http[] = {"http:", "https:"};
    for (const std::string_view scheme : http) {
        if (StartsWithNoCase(url, scheme) && (name == "href" || rules.RemoteImages)) {
            return {};
        }
    }
    if (name == "href") {
        for (const std::string_view scheme : {"ftp:", "mailto:", "news:"}) {
            if (StartsWithNoCase(url, scheme)) {
                return {};
            }
        }
    } else if (StartsWithNoCase(url, "data:image/") && url.find("svg") == std::string_view::npos) {
        return {};
    }
    return std::string(name) + "=\"" + std::string(url) + "\"";
}

/// "" when the parse of page holds nothing but safe elements and attributes, else the first offender.
inline std::string CheckPageSafety(std::string_view page, const SafetyRules& rules)
{
    struct Deleter {
        void operator()(GumboOutput* o) const { gumbo_destroy_output(&kGumboDefaultOptions, o); }
    };

    const std::unique_ptr<GumboOutput, Deleter> parsed(
            gumbo_parse_with_options(&kGumboDefaultOptions, page.data(), page.size()));
    std::vector<const GumboNode*> todo = {parsed->root};
    while (!todo.empty()) {
        const GumboNode* node = todo.back();
        todo.pop_back();
        if (node->type == GUMBO_NODE_COMMENT || node->type == GUMBO_NODE_CDATA || node->type == GUMBO_NODE_TEMPLATE) {
            return "a comment, CDATA section or template";
        }
        if (node->type != GUMBO_NODE_ELEMENT) {
            continue;
        }
        const GumboElement& element = node->v.element;
        const std::string_view name = gumbo_normalized_tagname(element.tag);
        if (element.tag_namespace != GUMBO_NAMESPACE_HTML || !IsSafeElementName(name)) {
            return "element <" + std::string(name.empty() ? "unknown" : name) + ">";
        }
        for (unsigned i = 0; i < element.attributes.length; ++i) {
            const auto* a = static_cast<const GumboAttribute*>(element.attributes.data[i]);
            const std::string_view attribute = a->name;
            if (!IsSafeAttributeName(attribute)) {
                return "attribute " + std::string(attribute);
            }
            if (attribute == "href" || attribute == "src") {
                std::string reason = CheckUrl(attribute, a->value, rules);
                if (!reason.empty()) {
                    return reason;
                }
            }
            if (attribute == "style" && SanitizeStyle(a->value) != a->value) {
                return "style \"" + std::string(a->value) + "\"";
            }
            if (attribute == "target" && std::string_view(a->value) != "_blank") {
                return "target " + std::string(a->value);
            }
        }
        for (unsigned i = 0; i < element.children.length; ++i) {
            todo.push_back(static_cast<const GumboNode*>(element.children.data[i]));
        }
    }
    return {};
}

} // namespace qm::store::test

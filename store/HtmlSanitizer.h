// HtmlSanitizer: turns the HTML body of a mail into markup that is safe to show inside a page of the session.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qm::store {

/// Whether images on other hosts are loaded. Loading one tells the sender that the mail was read, so they are
/// shown only when the user asks for them.
enum class RemoteImages {
    Block,
    Show,
};

/// What the sanitizer lets through and how far it goes.
struct HtmlSanitizerOptions {
    RemoteImages Images = RemoteImages::Block;
    /// The attachment link of the session with everything but the content id ("/qm?Session=ABCDEFG&View=Attachment
    /// &CID="): an image whose source is "cid:x" gets this with x appended (URL-encoded). Empty: such images lose
    /// their source.
    std::string AttachmentUrlBase;
    /// Elements nested deeper than this are left out, their text kept.
    std::size_t MaxDepth = 100;
    /// Bounds applied to the source before it is parsed, so that no mail can make the parse slow: start tags that
    /// would nest deeper than MaxSourceNesting (counting the elements that nest, not <p>, <li>, <td> and the like)
    /// or that come after MaxSourceTags start tags are dropped, their text kept; attributes past MaxAttributes of
    /// one tag are dropped (the parser compares every attribute of a tag with every other).
    std::size_t MaxSourceNesting = 200;
    std::size_t MaxSourceTags = 30000;
    std::size_t MaxAttributes = 32;
    /// Formatting elements (b, i, font, a, ...) open at once, past which their start tags are dropped: the parser
    /// opens each again after every block that closed it, so without a bound a few tags multiply every block.
    std::size_t MaxFormatting = 12;
};

/// What one sanitizing run did besides its output.
struct HtmlSanitizeReport {
    /// An image on another host lost its source because RemoteImages::Block was asked.
    bool RemoteImagesBlocked = false;
    /// A bound of the options dropped tags or attributes of the source, or elements nested past MaxDepth.
    bool Bounded = false;
};

/// Parses html (a whole document or a fragment, in any byte-oriented character set) with an HTML5 parser and
/// appends to out the inside of its BODY element rebuilt from an allow-list of elements and attributes:
/// - kept: text and formatting elements (p, div, span, b, table, lists, headings, font, img, a, ...);
/// - left out with their content: script, style, noscript, template, head, title, forms and their controls,
///   frames, iframes, objects, embeds, applets, media, canvas, SVG and MathML, base, meta, link;
/// - left out but their content kept: every other element (html, body, form, unknown and Office elements);
/// - comments, CDATA sections and the doctype are dropped; so is everything after the body's end tag;
/// - attributes: only presentational ones with checked values (sizes, colours, alignment, title, alt, lang, dir),
///   never event handlers, id, name, class or target; style keeps only declarations of an allow-list of properties
///   whose values call no function but rgb()/hsl() (no url(), expression(), escapes, comments, @rules), never
///   position, z-index, transform or negative margins;
/// - a href keeps only http, https, ftp, mailto and news links and gains target="_blank" and
///   rel="noopener noreferrer"; an img src keeps cid: images (rewritten to AttachmentUrlBase), data: images of
///   png, gif, jpeg, webp and bmp, and remote images only with RemoteImages::Show.
/// Bytes of 128 and above in the source come out as they went in; characters written as references come out as
/// numeric references, so the output does not depend on the page's character set. Text is escaped, attribute values
/// are quoted and escaped, and no element with special parsing rules is ever written, so a browser parses the output
/// into exactly the tree that was written. The output is at most 8 times the size of the source
/// plus 8 KB; what would pass that is left out (and the report says Bounded).
/// Thread-safe: every call works on its own parse.
HtmlSanitizeReport SanitizeHtml(std::string_view html, const HtmlSanitizerOptions& options, std::string& out);

/// The declarations of a style attribute value that the sanitizer keeps, as "name: value; name: value"; "" when none.
std::string SanitizeStyle(std::string_view css);

} // namespace qm::store

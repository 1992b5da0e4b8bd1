// Real-world-shaped messages stored through the builder into a user directory and read back: the message file byte
// for byte, the entry's flags and the exact part list of the ".att" file, each part's offset checked against the
// message file.
#include "common/MimeTypeTable.h"
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"
#include "store/PartIndex.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qm::store {
namespace {

namespace fs = std::filesystem;

struct ExpectedPart {
    int Part;
    std::uint32_t SubPart;
    std::string Name;
    std::string Type;
    std::string Encoding;
    std::string ContentId;
    int Size;
    std::uint32_t Lines;
    /// Index into the case's Body of the part's first body line.
    std::size_t FirstLine;
    std::string Charset = {};
};

struct Case {
    std::string Name;
    std::vector<std::string> Headers; ///< the top header block without its empty line
    std::vector<std::string> Body;
    std::vector<ExpectedPart> Parts; ///< empty: no part index file
    std::optional<bool> HasAttachments;
    std::optional<std::int64_t> Date = std::nullopt;
    std::optional<std::string> From = std::nullopt;
    std::optional<std::string> Subject = std::nullopt;
};

// n base64 lines of 76 characters (78 bytes in the file with CR LF, 57 decoded bytes).
std::vector<std::string> Base64Lines(std::size_t n)
{
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<std::string> lines(n, std::string(76, 'A'));
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < 76; ++j) {
            lines[i][j] = kAlphabet[(i * 7 + j * 13) % 64];
        }
    }
    return lines;
}

std::vector<std::string> Concat(std::vector<std::vector<std::string>> pieces)
{
    std::vector<std::string> all;
    for (auto& piece : pieces) {
        all.insert(all.end(), std::make_move_iterator(piece.begin()), std::make_move_iterator(piece.end()));
    }
    return all;
}

const std::string kUu60(60, 'M');

std::vector<Case> Cases()
{
    std::vector<Case> cases;
    cases.push_back({.Name = "PlainTextKeepsADateInTheYear9999",
                     .Headers = {"From: Ann <ann@example.com>", "To: bob@example.org", "Subject: Lunch",
                                 "Date: Fri, 31 Dec 9999 23:59:59 +0000"},
                     .Body = {"Hello Bob,", "", "see you at noon.", "-- ", "Ann"},
                     .Parts = {},
                     .HasAttachments = false,
                     .Date = 253402300799,
                     .From = "Ann <ann@example.com>",
                     .Subject = "Lunch"});
    cases.push_back({.Name = "QuotedPrintablePartKeepsADateOf1970",
                     .Headers = {"From: a@example.com", "Date: Thu, 01 Jan 1970 00:00:01 +0000", "MIME-Version: 1.0",
                                 "Content-Type: multipart/mixed; boundary=qp1"},
                     .Body = {"--qp1", "Content-Type: text/html; charset=iso-8859-1",
                              "Content-Transfer-Encoding: quoted-printable", "",
                              "<p>Caf=E9 au lait, caf=E9 cr=E8me et th=E9 pour tout le monde, s'il vous pla=",
                              "=EEt.</p>", "--qp1--"},
                     // 90 bytes in the file, 90 * 73 / 78 = 84.2.
                     .Parts = {{1, 0, "ATT00001.html", "text/html", "quoted-printable", "", 84, 2, 4, "iso-8859-1"}},
                     .HasAttachments = true,
                     .Date = 1});
    cases.push_back(
            {.Name = "Base64AttachmentIsEstimatedAt57Of78Bytes",
             .Headers = {"From: billing@example.com", "Subject: Invoice",
                         "Content-Type: multipart/mixed; boundary=\"b64\""},
             .Body = Concat({{"This is a multi-part message in MIME format.", "--b64",
                              "Content-Type: text/plain; charset=us-ascii", "", "Invoice attached.", "--b64",
                              "Content-Type: application/pdf; name=\"inv.pdf\"", "Content-Transfer-Encoding: base64",
                              "Content-Disposition: attachment; filename=\"invoice-2026.pdf\"", ""},
                             Base64Lines(3),
                             {"--b64--", "epilogue"}}),
             .Parts = {{1, 0, "ATT00001.txt", "text/plain", "", "", 19, 1, 4, "us-ascii"},
                       {2, 0, "invoice-2026.pdf", "application/pdf", "base64", "", 171, 3, 10}},
             .HasAttachments = true});
    cases.push_back({.Name = "MixedWithTwoParts",
                     .Headers = {"From: a@example.com", "Content-Type: multipart/mixed; boundary=mix"},
                     .Body = Concat({{"--mix", "Content-Type: text/plain; charset=us-ascii",
                                      "Content-Transfer-Encoding: 7bit", "", "Two lines", "of text.", "--mix",
                                      "Content-Type: image/png", "Content-Transfer-Encoding: base64",
                                      "Content-Disposition: attachment; filename=\"chart.png\"", ""},
                                     Base64Lines(1),
                                     {"--mix--"}}),
                     .Parts = {{1, 0, "ATT00001.txt", "text/plain", "7bit", "", 21, 2, 4, "us-ascii"},
                               {2, 0, "chart.png", "image/png", "base64", "", 57, 1, 11}},
                     .HasAttachments = true});
    cases.push_back({.Name = "AlternativePartsAreSubPartsOfPartOne",
                     .Headers = {"From: a@example.com", "Content-Type: multipart/alternative; boundary=\"alt\""},
                     .Body = {"--alt", "Content-Type: text/plain", "", "Hello", "--alt", "Content-Type: text/html", "",
                              "<b>Hello</b>", "--alt--"},
                     .Parts = {{1, 1, "ATT00001.txt", "text/plain", "", "", 7, 1, 3},
                               {1, 2, "ATT00002.html", "text/html", "", "", 14, 1, 7}},
                     .HasAttachments = true});
    cases.push_back({.Name = "NestedMixedContainingAlternative",
                     .Headers = {"From: a@example.com", "Content-Type: multipart/mixed; boundary=outer"},
                     .Body = {"--outer", "Content-Type: multipart/alternative; boundary=inner", "", "--inner",
                              "Content-Type: text/plain", "", "Plain", "--inner", "Content-Type: text/html", "",
                              "<i>Html</i>", "--inner--", "--outer", "Content-Type: application/pdf; name=doc.pdf", "",
                              "%PDF-1.4", "%%EOF", "--outer--"},
                     .Parts = {{1, 1, "ATT00001.txt", "text/plain", "", "", 7, 1, 6},
                               {1, 2, "ATT00002.html", "text/html", "", "", 13, 1, 10},
                               {2, 0, "doc.pdf", "application/pdf", "", "", 17, 2, 15}},
                     .HasAttachments = true});
    cases.push_back({.Name = "NestedPartWithoutInnerClosingBoundaryEndsAtTheOuterOne",
                     .Headers = {"From: a@example.com", "Content-Type: multipart/mixed; boundary=outer"},
                     .Body = {"--outer", "Content-Type: multipart/alternative; boundary=inner", "", "--inner",
                              "Content-Type: text/plain", "", "Plain", "--inner", "Content-Type: text/html", "",
                              "<i>Html</i>", "--outer", "Content-Type: application/pdf; name=doc.pdf", "", "%PDF-1.4",
                              "--outer--", "after the end"},
                     .Parts = {{1, 1, "ATT00001.txt", "text/plain", "", "", 7, 1, 6},
                               {1, 2, "ATT00002.html", "text/html", "", "", 13, 1, 10},
                               {2, 0, "doc.pdf", "application/pdf", "", "", 10, 1, 14}},
                     .HasAttachments = true});
    cases.push_back(
            {.Name = "InnerWaitAndInnerHeaderEndAtTheOuterBoundary",
             .Headers = {"From: a@example.com", "Content-Type: multipart/mixed; boundary=outer"},
             .Body = {"--outer", "Content-Type: multipart/alternative; boundary=inner", "",
                      "inner preamble, its boundary never comes", "--outer", "Content-Type: text/plain", "", "second",
                      "--outer", "Content-Type: multipart/related; boundary=inner2", "", "--inner2",
                      "Content-Type: text/html", "--outer", "Content-Type: text/plain", "", "fourth", "--outer--"},
             .Parts = {{2, 0, "ATT00001.txt", "text/plain", "", "", 8, 1, 7},
                       {4, 0, "ATT00002.txt", "text/plain", "", "", 8, 1, 16}},
             .HasAttachments = true});
    cases.push_back({.Name = "RelatedWithContentId",
                     .Headers = {"From: a@example.com",
                                 "Content-Type: multipart/related; type=\"text/html\"; boundary=\"rel\""},
                     .Body = Concat({{"--rel", "Content-Type: text/html; charset=utf-8", "",
                                      "<img src=\"cid:logo@example.com\">", "--rel", "Content-Type: image/png",
                                      "Content-Transfer-Encoding: base64", "Content-ID:  <logo@example.com> ", ""},
                                     Base64Lines(2),
                                     {"--rel--"}}),
                     .Parts = {{1, 0, "ATT00001.html", "text/html", "", "", 34, 1, 3, "utf-8"},
                               {2, 0, "ATT00002.png", "image/png", "base64", "logo@example.com", 114, 2, 9}},
                     .HasAttachments = true});
    cases.push_back({.Name = "UuencodedBlockInText",
                     .Headers = {"From: a@example.com", "Subject: the report"},
                     .Body = {"Here is the file.", "", "begin 644 report.pdf", kUu60, kUu60, "`", "end", "", "Bye."},
                     // Data lines count 6/8 of their length: 45 + 45 + 0.
                     .Parts = {{0, 0, "ATT00001.txt", "text/plain", "7bit", "", 21, 2, 0},
                               {1, 0, "report.pdf", "application/pdf", "uuencode", "", 90, 3, 3},
                               {2, 0, "ATT00003.txt", "text/plain", "7bit", "", 6, 1, 8}},
                     .HasAttachments = true});
    cases.push_back({.Name = "UuencodedBlockAfterALineOver64KB",
                     .Headers = {"From: a@example.com"},
                     .Body = {std::string(100000, 'w'), "begin 0600  notes.txt ", kUu60, "end \t", "tail"},
                     .Parts = {{0, 0, "ATT00001.txt", "text/plain", "7bit", "", 100002, 1, 0},
                               {1, 0, "notes.txt", "text/plain", "uuencode", "", 45, 1, 2},
                               {2, 0, "ATT00003.txt", "text/plain", "7bit", "", 6, 1, 4}},
                     .HasAttachments = true});
    cases.push_back({.Name = "UuencodedBlockUnderMultipartWithoutBoundary",
                     .Headers = {"From: a@example.com", "Content-Type: multipart/mixed"},
                     .Body = {"begin 644 a.txt", kUu60, "end"},
                     .Parts = {{0, 0, "a.txt", "text/plain", "uuencode", "", 45, 1, 1}},
                     .HasAttachments = true});
    cases.push_back({.Name = "BeginTheMeetingMakesNoPart",
                     .Headers = {"From: a@example.com", "Subject: agenda"},
                     .Body = {"begin the meeting at ten", "begin 12 short.txt", "begin 6448 bad.txt", "begin 644",
                              "begin 644 ", kUu60, "endless", "end"},
                     .Parts = {},
                     .HasAttachments = false});
    cases.push_back({.Name = "UuencodeBeginWithoutExactEndMakesNoPart",
                     .Headers = {"From: a@example.com"},
                     .Body = {"begin 644 a.txt", kUu60, "endless", "end of story", "ending"},
                     .Parts = {},
                     .HasAttachments = false});
    cases.push_back({.Name = "MissingClosingBoundaryEndsTheLastPartAtTheEnd",
                     .Headers = {"From: a@example.com", "Content-Type: multipart/mixed; boundary=b1"},
                     .Body = Concat({{"--b1", "", "one", "--b1", "Content-Type: application/pdf",
                                      "Content-Transfer-Encoding: base64", ""},
                                     Base64Lines(2)}),
                     .Parts = {{1, 0, "ATT00001.txt", "text/plain", "", "", 5, 1, 2},
                               {2, 0, "ATT00002.pdf", "application/pdf", "base64", "", 114, 2, 7}},
                     .HasAttachments = true});
    cases.push_back({.Name = "BoundaryNeverAppearingGivesNoParts",
                     .Headers = {"From: a@example.com", "Content-Type: multipart/mixed; boundary=\"nope\""},
                     .Body = {"--other", "Content-Type: text/plain", "", "text", "--other--"},
                     .Parts = {},
                     .HasAttachments = std::nullopt});
    cases.push_back({.Name = "QuotedBoundaryAmongOtherParameters",
                     .Headers = {"From: a@example.com", "Content-Type: multipart/mixed; charset=\"us-ascii\";",
                                 "\tboundary=\"----=_Part_0_12.34 x\"; report-type=delivery-status"},
                     .Body = {"------=_Part_0_12.34", "------=_Part_0_12.34 x", "Content-Type: text/plain", "",
                              "inside", "------=_Part_0_12.34 x--"},
                     .Parts = {{1, 0, "ATT00001.txt", "text/plain", "", "", 8, 1, 4}},
                     .HasAttachments = true});
    cases.push_back({.Name = "BoundaryWithTrailingWhiteSpace",
                     .Headers = {"From: a@example.com", "Content-Type: multipart/mixed; boundary=ws1  "},
                     .Body = {"--ws1  ", "Content-Type: text/plain", "", "first", "--ws1\t", "", "second", "--ws1-- "},
                     .Parts = {{1, 0, "ATT00001.txt", "text/plain", "", "", 7, 1, 3},
                               {2, 0, "ATT00002.txt", "text/plain", "", "", 8, 1, 6}},
                     .HasAttachments = true});
    // RFC 2231 names: encoded, in pieces, in a charset of their own; they win over the plain forms.
    cases.push_back({.Name = "Rfc2231NamesAreDecodedIntoUtf8",
                     .Headers = {"From: a@example.com", "Content-Type: multipart/mixed; boundary=r"},
                     .Body = {"--r",
                              "Content-Type: application/pdf; name=\"fallback.pdf\"",
                              "Content-Disposition: attachment; filename*=UTF-8''%E2%82%AC%20report.pdf",
                              "",
                              "1",
                              "--r",
                              "Content-Type: text/plain; name*=ISO-8859-1'fr'caf%E9.txt",
                              "",
                              "2",
                              "--r",
                              "Content-Type: text/plain",
                              "Content-Disposition: attachment; filename*0*=UTF-8''long%20; filename*1=name;",
                              " filename*2*=%C3%A9.txt",
                              "",
                              "3",
                              "--r",
                              "Content-Type: text/plain",
                              "Content-Disposition: attachment; filename*=KOI8-R''%F0%D2.txt",
                              "",
                              "4",
                              "--r",
                              "Content-Type: text/plain",
                              "Content-Disposition: attachment; filename*=UTF-8''%E2%82.txt",
                              "",
                              "5",
                              "--r",
                              "Content-Type: text/plain",
                              "Content-Disposition: attachment; filename*=''..%2F..%2Fevil.txt",
                              "",
                              "6",
                              "--r--"},
                     .Parts = {{1, 0, "\xE2\x82\xAC report.pdf", "application/pdf", "", "", 3, 1, 4},
                               {2, 0, "caf\xC3\xA9.txt", "text/plain", "", "", 3, 1, 8},
                               {3, 0, "long name\xC3\xA9.txt", "text/plain", "", "", 3, 1, 14},
                               {4, 0, "\xD0\x9F\xD1\x80.txt", "text/plain", "", "", 3, 1, 19},
                               {5, 0, "\xC3\xA2\xE2\x80\x9A.txt", "text/plain", "", "", 3, 1, 24},
                               {6, 0, "evil.txt", "text/plain", "", "", 3, 1, 29}},
                     .HasAttachments = true});
    // Index texts are cut to their cap after conversion, never inside a character: 600 raw Latin-1 bytes become
    // 1200 bytes of UTF-8, cut to 511 characters; "a" and 400 euro signs from one word to "a" and 340 of them.
    {
        std::string euros;
        std::string words;
        for (int i = 0; i < 400; ++i) {
            euros += "\xE2\x82\xAC";
            words += "=80";
        }
        std::string eAcutes;
        for (int i = 0; i < 511; ++i) {
            eAcutes += "\xC3\xA9";
        }
        cases.push_back({.Name = "IndexTextsAreCutOnACharacterBoundaryAfterConversion",
                         .Headers = {"From: =?windows-1252?Q?a" + words + "?=", "Subject: " + std::string(600, '\xE9')},
                         .Body = {"text"},
                         .Parts = {},
                         .HasAttachments = false,
                         .From = "a" + euros.substr(0, std::size_t{340} * 3),
                         .Subject = eAcutes});
    }
    // Raw 8-bit text that is not UTF-8 is read as Windows-1252; UTF-8 stays as it is.
    cases.push_back({.Name = "EightBitHeaderValuesAndNamesBecomeUtf8",
                     .Headers = {"From: Jos\xc3\xa9 <jose@example.com>", "Subject: Caf\xe9 cr\xe8me",
                                 "Content-Type: multipart/mixed; boundary=8b"},
                     .Body = {"--8b", "Content-Type: application/pdf; name=\"r\xe9sum\xe9.pdf\"", "", "latin", "--8b",
                              "Content-Type: text/plain; charset=utf-8",
                              "Content-Disposition: attachment; filename=\"\xe6\x97\xa5\xe6\x9c\xac.txt\"", "",
                              "\xe6\x97\xa5\xe6\x9c\xac", "--8b--"},
                     .Parts = {{1, 0, "r\xc3\xa9sum\xc3\xa9.pdf", "application/pdf", "", "", 7, 1, 3},
                               {2, 0, "\xe6\x97\xa5\xe6\x9c\xac.txt", "text/plain", "", "", 8, 1, 8, "utf-8"}},
                     .HasAttachments = true,
                     .From = "Jos\xc3\xa9 <jose@example.com>",
                     .Subject = "Caf\xc3\xa9 cr\xc3\xa8me"});
    cases.push_back(
            {.Name = "LongBodyLineInAPart",
             .Headers = {"From: a@example.com", "Content-Type: multipart/mixed; boundary=long"},
             .Body = {"--long", "Content-Type: text/plain", "", std::string(70000, 'x') + "tail", "short", "--long--"},
             .Parts = {{1, 0, "ATT00001.txt", "text/plain", "", "", 70013, 2, 3}},
             .HasAttachments = true});
    cases.push_back({.Name = "LonePdfBodyKeepsDashedLinesInPartZero",
                     .Headers = {"From: a@example.com", "Content-Type: application/pdf"},
                     .Body = {"%PDF-1.4", "-----BEGIN PGP MESSAGE-----", "hQEMA1", "-----END PGP MESSAGE-----", "----",
                              "%%EOF"},
                     .Parts = {{0, 0, "ATT00001.pdf", "application/pdf", "", "", 87, 6, 0}},
                     .HasAttachments = true});
    cases.push_back({.Name = "LoneBase64BodyTakesTheTopHeaders",
                     .Headers = {"From: a@example.com", "Content-Type: application/octet-stream; name=\"scan.png\"",
                                 "Content-Transfer-Encoding: base64", "Content-ID: <scan@x>"},
                     .Body = Base64Lines(2),
                     .Parts = {{0, 0, "scan.png", "image/png", "base64", "scan@x", 114, 2, 0}},
                     .HasAttachments = true});
    cases.push_back(
            {.Name = "NamesLoseDirectoriesAndControlBytes",
             .Headers = {"From: a@example.com", "Content-Type: multipart/mixed; boundary=n"},
             .Body = {"--n", "Content-Type: application/pdf; name=\"../../etc/passwd.pdf\"", "", "1", "--n",
                      "Content-Type: application/octet-stream",
                      "Content-Disposition: attachment; filename=\"C:\\\\Users\\\\ann\\\\report.pdf\"", "", "2", "--n",
                      "Content-Type: image/png; name=\"..\"", "", "3", "--n",
                      "Content-Type: text/plain; name=\"=?UTF-8?Q?evil=0D=0Aname.txt?=\"", "", "4", "--n",
                      "Content-Type: text/plain; NAME=\"Upper.TXT\"", "", "5", "--n",
                      "Content-Type: application/pdf; filename=\"inner.pdf\"", "", "6", "--n",
                      "Content-Type: text/plain; name=\"dir/\"", "", "7", "--n",
                      "Content-Type: text/plain; name=plain.txt; charset=x", "", "8", "--n", "Content-Type: text/html",
                      "Content-Disposition: inline; FileName=\" spaced.htm \"", "", "9", "--n",
                      // The 8-bit run read as Windows-1252 (euro signs), cut to the longest name kept on a character
                      // boundary.
                      "Content-Type: text/plain; name=\".." + std::string(100, '\x80') + "\"", "", "10", "--n--"},
             .Parts = {{1, 0, "passwd.pdf", "application/pdf", "", "", 3, 1, 3},
                       {2, 0, "report.pdf", "application/pdf", "", "", 3, 1, 8},
                       {3, 0, "ATT00003.png", "image/png", "", "", 3, 1, 12},
                       {4, 0, "evilname.txt", "text/plain", "", "", 3, 1, 16},
                       {5, 0, "Upper.TXT", "text/plain", "", "", 3, 1, 20},
                       {6, 0, "ATT00006.pdf", "application/pdf", "", "", 3, 1, 24},
                       {7, 0, "ATT00007.txt", "text/plain", "", "", 3, 1, 28},
                       {8, 0, "plain.txt", "text/plain", "", "", 3, 1, 32, "x"},
                       {9, 0, "spaced.htm", "text/html", "", "", 3, 1, 37},
                       {10, 0,
                        ".." +
                                [] {
                                    std::string euros;
                                    for (int i = 0; i < 25; ++i) {
                                        euros += "\xE2\x82\xAC";
                                    }
                                    return euros;
                                }(),
                        "text/plain", "", "", 4, 1, 41}},
             .HasAttachments = true});
    // A top header block past its cap ends there; the header lines after it are body lines before the first
    // boundary.
    std::vector<std::string> longHeader = {"From: a@example.com", "Content-Type: multipart/mixed; boundary=h"};
    longHeader.resize(2 + kMaxTopHeaderBytes / 78 + 1, "X-Filler: " + std::string(66, 'f'));
    cases.push_back({.Name = "TopHeaderBlockOverItsCap",
                     .Headers = std::move(longHeader),
                     .Body = {"--h", "", "text", "--h--"},
                     .Parts = {{1, 0, "ATT00001.txt", "text/plain", "", "", 6, 1, 2}},
                     .HasAttachments = true,
                     .From = "a@example.com"});
    // Over 20 MB in the message file: 280000 base64 lines of 78 bytes.
    constexpr std::size_t kBigLines = 280000;
    cases.push_back(
            {.Name = "TwentyMegabyteAttachment",
             .Headers = {"From: a@example.com", "Content-Type: multipart/mixed; boundary=big"},
             .Body = Concat({{"--big", "", "see attachment", "--big", "Content-Type: application/zip; name=\"big.zip\"",
                              "Content-Transfer-Encoding: base64", ""},
                             Base64Lines(kBigLines),
                             {"--big--"}}),
             .Parts = {{1, 0, "ATT00001.txt", "text/plain", "", "", 16, 1, 2},
                       {2, 0, "big.zip", "application/zip", "base64", "", static_cast<int>(57 * kBigLines), kBigLines,
                        7}},
             .HasAttachments = true});
    return cases;
}

class MessageBuilderMessagesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(m_dir.Path() / "user" / "Inbox");
        const std::string types = m_dir.WriteFile("MimeTypes.cfg", "text/plain txt\n"
                                                                   "text/html html htm\n"
                                                                   "application/pdf pdf\n"
                                                                   "image/png png\n"
                                                                   "application/zip zip\n");
        ASSERT_TRUE(m_types.Load(types.c_str()));
        SetStoreMimeTypes(&m_types);
    }

    void TearDown() override { SetStoreMimeTypes(nullptr); }

    std::string UserDir() const { return m_dir / "user"; }

    // Every file name in the user directory and its folders, hidden ones included.
    std::vector<std::string> Files() const
    {
        std::vector<std::string> names;
        for (const auto& item : fs::recursive_directory_iterator(UserDir())) {
            if (item.is_regular_file()) {
                names.push_back(fs::relative(item.path(), UserDir()).string());
            }
        }
        return names;
    }

    void StoreAndCheck(const Case& c);

    test::TempDir m_dir{"qm-mime"};
    MimeTypeTable m_types;
};

void ExpectSameParts(const PartIndex& got, const PartIndex& want, const char* what)
{
    ASSERT_EQ(got.Count(), want.Count()) << what;
    for (int i = 0; i < got.Count(); ++i) {
        SCOPED_TRACE(std::string(what) + " part " + std::to_string(i));
        const PartIndexEntry& g = got.Item(i);
        const PartIndexEntry& w = want.Item(i);
        EXPECT_EQ(g.Part, w.Part);
        EXPECT_EQ(g.SubPart, w.SubPart);
        EXPECT_EQ(g.FileName, w.FileName);
        EXPECT_EQ(g.ContentType, w.ContentType);
        EXPECT_EQ(g.TransferEncoding, w.TransferEncoding);
        EXPECT_EQ(g.ContentId, w.ContentId);
        EXPECT_EQ(g.Size, w.Size);
        EXPECT_EQ(g.Offset, w.Offset);
        EXPECT_EQ(g.LineCount, w.LineCount);
        EXPECT_EQ(g.Charset, w.Charset);
    }
}

void MessageBuilderMessagesTest::StoreAndCheck(const Case& c)
{
    std::vector<std::string> lines = c.Headers;
    lines.emplace_back();
    const std::size_t bodyStart = lines.size();
    lines.insert(lines.end(), c.Body.begin(), c.Body.end());
    std::string fed;
    std::vector<std::uint64_t> lineOffsets;
    for (const std::string& line : lines) {
        lineOffsets.push_back(fed.size());
        fed += line;
        fed += "\r\n";
    }

    MessageIndex index(UserDir());
    MessageIndexEntry* entry = StoreMessageLines(index, "Inbox", lines);
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(entry->HasFlag(MessageFlag::Stored));
    if (c.HasAttachments) {
        EXPECT_EQ(entry->HasFlag(MessageFlag::HasAttachments), *c.HasAttachments);
    }
    if (c.Date) {
        EXPECT_EQ(entry->Date(), *c.Date);
    }
    if (c.From) {
        EXPECT_EQ(entry->From(), *c.From);
    }
    if (c.Subject) {
        EXPECT_EQ(entry->Subject(), *c.Subject);
    }

    const std::string msg = test::ReadBytes(entry->GetMessagePath());
    EXPECT_TRUE(msg == fed) << "the message file has " << msg.size() << " bytes, want the " << fed.size()
                            << " bytes fed";
    const std::string id = entry->FileId();
    std::vector<std::string> wantFiles = {"Inbox/" + id + ".msg"};
    if (!c.Parts.empty()) {
        wantFiles.insert(wantFiles.begin(), "Inbox/" + id + ".att");
    }
    std::vector<std::string> files = Files();
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, wantFiles) << "nothing but the message file and its part index is left";
    if (c.Parts.empty()) {
        return;
    }

    PartIndex parts;
    ASSERT_TRUE(parts.Read(entry->GetPartIndexPath().c_str()));
    PartIndex want;
    for (const ExpectedPart& p : c.Parts) {
        PartIndexEntry& w = *want.NewEntry();
        w = {p.Part,     p.SubPart,   p.Name, p.Type,
             p.Encoding, p.ContentId, p.Size, static_cast<std::uint32_t>(lineOffsets.at(bodyStart + p.FirstLine)),
             p.Lines,    p.Charset};
    }
    ExpectSameParts(parts, want, "part index file");
    for (int i = 0; i < parts.Count() && i < want.Count(); ++i) {
        const std::string& first = c.Body[c.Parts[static_cast<std::size_t>(i)].FirstLine];
        const std::size_t at = parts.Item(i).Offset;
        EXPECT_EQ(msg.substr(at, std::min<std::size_t>(first.size() + 2, 80)), (first + "\r\n").substr(0, 80))
                << "the text at the offset of part " << i;
    }

    // Walking the stored file again finds the same list.
    ASSERT_TRUE(entry->RebuildPartIndex());
    ExpectSameParts(*entry->GetPartIndex(), want, "rebuilt list");
    EXPECT_TRUE(entry->HasFlag(MessageFlag::Stored));
}

TEST_F(MessageBuilderMessagesTest, StoresEachMessageAndListsItsParts)
{
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.Name);
        StoreAndCheck(c);
        // Each message starts from an empty user directory.
        fs::remove_all(UserDir());
        fs::create_directories(fs::path(UserDir()) / "Inbox");
    }
}

TEST_F(MessageBuilderMessagesTest, PartListStopsAtItsCap)
{
    // A message of tiny parts, one more than the cap and then some, in both ways a body can make parts.
    std::vector<std::string> mime = {"From: a@example.com", "Content-Type: multipart/mixed; boundary=b", ""};
    std::vector<std::string> uu = {"From: a@example.com", ""};
    for (int i = 0; i < kMaxMessageParts + 3; ++i) {
        mime.insert(mime.end(), {"--b", "", "x"});
        uu.insert(uu.end(), {"begin 644 p" + std::to_string(i) + ".txt", "end"});
    }
    mime.emplace_back("--b--");
    // The MIME parts are numbered from 1, the uuencoded blocks from 0.
    for (const auto& [lines, lastPart] : {std::pair{mime, kMaxMessageParts}, std::pair{uu, kMaxMessageParts - 1}}) {
        SCOPED_TRACE(lastPart);
        MessageIndex index(UserDir());
        MessageIndexEntry* entry = StoreMessageLines(index, "Inbox", lines);
        ASSERT_NE(entry, nullptr);
        std::size_t bytes = 0;
        for (const std::string& line : lines) {
            bytes += line.size() + 2;
        }
        EXPECT_EQ(fs::file_size(entry->GetMessagePath()), bytes) << "the message file is whole";
        PartIndex parts;
        ASSERT_TRUE(parts.Read(entry->GetPartIndexPath().c_str()));
        ASSERT_EQ(parts.Count(), kMaxMessageParts);
        const PartIndexEntry& last = parts.Item(kMaxMessageParts - 1);
        EXPECT_EQ(last.Part, lastPart);
        ASSERT_TRUE(entry->RebuildPartIndex());
        EXPECT_EQ(entry->GetPartIndex()->Count(), kMaxMessageParts);
        fs::remove_all(UserDir());
        fs::create_directories(fs::path(UserDir()) / "Inbox");
    }
}

TEST_F(MessageBuilderMessagesTest, StalePartIndexIsNotLeftBesideANewMessage)
{
    // A part index whose message file is gone (its removal failed, or a crash came between the two) must not
    // become the part list of the next message given that number.
    const std::vector<std::vector<std::string>> messages = {
            {"From: a@example.com", "", "plain text"},
            {"From: a@example.com", "Content-Type: multipart/mixed; boundary=never", "", "text"}};
    for (const auto& lines : messages) {
        SCOPED_TRACE(lines[1]);
        PartIndex stale;
        *stale.NewEntry() = {1, 0, "old.pdf", "application/pdf", "", "", 99, 0, 1};
        ASSERT_TRUE(stale.Write((m_dir / "user/Inbox/QM000001.att").c_str()));
        MessageIndex index(UserDir());
        MessageIndexEntry* entry = StoreMessageLines(index, "Inbox", lines);
        ASSERT_NE(entry, nullptr);
        ASSERT_EQ(entry->FileId(), "QM000001");
        EXPECT_EQ(Files(), std::vector<std::string>{"Inbox/QM000001.msg"});
        fs::remove_all(UserDir());
        fs::create_directories(fs::path(UserDir()) / "Inbox");
    }
}

TEST_F(MessageBuilderMessagesTest, UnfinishedMessageLeavesNoFile)
{
    MessageIndex index(UserDir());
    {
        MessageBuilder builder(index, "Inbox");
        ASSERT_TRUE(builder.Begin(1000, true));
        for (const char* line :
             {"From: a@example.com", "Content-Type: multipart/mixed; boundary=x", "", "--x", "", "cut off here"}) {
            builder.AddLine(line);
        }
    }
    ASSERT_EQ(index.Count(), 1);
    EXPECT_FALSE(index.Entry(0)->HasFlag(MessageFlag::Stored));
    EXPECT_EQ(Files(), std::vector<std::string>{});
}

TEST_F(MessageBuilderMessagesTest, UnfinishedRebuildKeepsTheSource)
{
    MessageIndex index(UserDir());
    const std::vector<std::string> lines = {
            "From: a@example.com", "Content-Type: multipart/mixed; boundary=x", "", "--x", "", "text", "--x--"};
    MessageIndexEntry* entry = StoreMessageLines(index, "Inbox", lines);
    ASSERT_NE(entry, nullptr);
    const std::string path = entry->GetMessagePath();
    const std::string bytes = test::ReadBytes(path);
    ASSERT_FALSE(bytes.empty());
    {
        MessageBuilder builder(*entry);
        static_cast<void>(builder.Begin(entry->Size(), false));
        for (const std::string& line : lines) {
            builder.AddReadLine(line, line.size() + 2);
            if (line == "text") {
                break;
            }
        }
    }
    EXPECT_EQ(test::ReadBytes(path), bytes);
    EXPECT_TRUE(entry->HasFlag(MessageFlag::Stored));
    EXPECT_TRUE(entry->HasFlag(MessageFlag::HasAttachments));
}

} // namespace
} // namespace qm::store

#include "common/MultipartUpload.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace qm {
namespace {

using test::ReadBytes;
using test::TempDir;

const std::string kB = "XyZ0123";

// One part of a test body.
std::string Part(const std::string& disposition, const std::string& data, const std::string& type = {})
{
    std::string part = "--" + kB + "\r\nContent-Disposition: form-data; " + disposition + "\r\n";
    if (!type.empty()) {
        part += "Content-Type: " + type + "\r\n";
    }
    return part + "\r\n" + data + "\r\n";
}

std::string Close()
{
    return "--" + kB + "--\r\n";
}

// The files of the compose directory with their bytes.
std::map<std::string, std::string> Files(const TempDir& dir)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        files[entry.path().filename().string()] = ReadBytes(entry.path());
    }
    return files;
}

std::map<std::string, std::string> Fields(const NameValueList& list)
{
    std::map<std::string, std::string> fields;
    for (int i = 0; i < list.Count(); ++i) {
        fields[list.Item(i)->Name()] = list.Item(i)->Value();
    }
    return fields;
}

struct BodyCase {
    const char* Name;
    std::string Body;
    UploadStatus Status;
    std::map<std::string, std::string> Fields;
    std::map<std::string, std::string> Files;
};

std::vector<BodyCase> BodyCases()
{
    const std::string binary("\r\n--XyZ012\r\n\r\n--other\r\n\0\xff\r\r\n\n--XyZ0123x\r\n--XyZ0123 \t\x01", 43);
    return {
            {"FieldsBodyAndFile",
             "preamble\r\n" + Part("name=\"To\"", "a@example.com") + Part("name=\"Subject\"", "Hello") +
                     Part("name=\"Body\"", "line 1\r\nline 2") +
                     Part("name=\"Attachment\"; filename=\"a.txt\"", "file\r\ndata\r\n", "text/plain") + Close() +
                     "epilogue, never read as a part\r\n" + Part("name=\"Late\"", "x"),
             UploadStatus::Complete,
             {{"To", "a@example.com"},
              {"Subject", "Hello"},
              {"AttachName", "a.txt"},
              {"AttachType", "text/plain"},
              {"AttachBoundary", kB}},
             {{".body.txt", "line 1\r\nline 2"}, {"a.txt", "file\r\ndata\r\n"}}},
            // CR LF, "--" lines, a shorter and a longer boundary-like text and NUL and 8-bit bytes inside the data
            // are content: only the whole delimiter followed by a line end ends it.
            {"BoundaryLikeContentStoredExactly",
             Part("name=\"Attachment\"; filename=\"bin.dat\"", binary) + Close(),
             UploadStatus::Complete,
             {{"AttachName", "bin.dat"}, {"AttachType", ""}, {"AttachBoundary", kB}},
             {{"bin.dat", binary}}},
            {"BodyLineEndsBecomeCrLf",
             Part("name=\"body\"", "a\nb\rc\r\n\r\nd\r") + Close(),
             UploadStatus::Complete,
             {},
             {{".body.txt", "a\r\nb\r\nc\r\n\r\nd\r\n"}}},
            {"FieldKeepsLastNonEmptyLineAndImageButtonName",
             Part("name=\"Subject\"", "first\r\nsecond\r\n\r\n") + Part("name=\"SendNow.x\"", "12") +
                     Part("name=\"Empty\"", "") + Close(),
             UploadStatus::Complete,
             {{"Subject", "second"}, {"SendNow", "12"}},
             {}},
            {"DelimiterWithPaddingAndBareLf",
             "--" + kB + " \t\nContent-Disposition: form-data; name=\"A\"\n\nvalue\r\n--" + kB + "--",
             UploadStatus::Complete,
             {{"A", "value"}},
             {}},
            {"PathsReducedToTheirLastComponent",
             Part("name=\"Attachment\"; filename=\"C:\\Users\\x\\win.txt\"", "w") +
                     Part("name=\"attachment\"; filename=\"/home/x/unix.txt\"", "u") +
                     Part("name=\"Attachment\"; filename=\"\"", "skipped empty file field") + Close(),
             UploadStatus::Complete,
             {{"AttachName", "unix.txt"}, {"AttachType", ""}, {"AttachBoundary", kB}},
             {{"win.txt", "w"}, {"unix.txt", "u"}}},
            // Names that would leave the directory, overwrite the compose's own files or carry control bytes are
            // dropped with their data; the rest of the form is still taken.
            {"HostileFileNamesRefused",
             Part("name=\"Attachment\"; filename=\"..\"", "1") +
                     Part("name=\"Attachment\"; filename=\".body.txt\"", "2") +
                     Part("name=\"Attachment\"; filename=\"x\\..\\.headers.txt\"", "3") +
                     Part("name=\"Attachment\"; filename=\"a\x01"
                          "b\"",
                          "4") +
                     Part("name=\"Attachment\"; filename=\"" + std::string(256, 'n') + "\"", "5") +
                     Part("name=\"Attachment\"; filename=\"C:\"", "6") +
                     // A name whose type file ('.' and the name) is one of the compose's own files.
                     Part("name=\"Attachment\"; filename=\"body.txt\"", "7") +
                     Part("name=\"Attachment\"; filename=\"C:\\x\\Headers.TXT\"", "8") +
                     Part("name=\"Attachment\"; filename=\"message.txt\"", "9") +
                     Part("name=\"Attachment\"; filename=\"body.tmp\"", "10") +
                     Part("name=\"Attachment\"; filename=\"upload.part\"", "11") +
                     Part("name=\"To\"", "b@example.com") + Close(),
             UploadStatus::FileNameRefused,
             {{"To", "b@example.com"}},
             {}},
            // A cut body stores no part of a file and replaces nothing.
            {"MissingFinalBoundary",
             Part("name=\"To\"", "c@example.com") + Part("name=\"Body\"", "text") + "--" + kB +
                     "\r\nContent-Disposition: form-data; name=\"Attachment\"; filename=\"cut.bin\"\r\n\r\nhalf",
             UploadStatus::Truncated,
             {{"To", "c@example.com"}, {"AttachName", "cut.bin"}, {"AttachType", ""}, {"AttachBoundary", kB}},
             {{".body.txt", "text"}}},
            // The last field is not known to be whole until its delimiter is: it is not taken.
            {"DelimiterWithoutLineEndAtTheEnd",
             Part("name=\"To\"", "d@example.com") + "--" + kB,
             UploadStatus::Truncated,
             {},
             {}},
            {"NoDelimiterAtAll", "just text\r\n", UploadStatus::Truncated, {}, {}},
    };
}

// Every body fed in pieces of sizes from 1 byte to the whole body gives the same fields and files: a
// delimiter split anywhere between two reads is still found.
TEST(MultipartParserTest, BodiesGiveTheSameResultForEveryReadSize)
{
    for (const BodyCase& c : BodyCases()) {
        // Every size up to twice the delimiter, then a spread of larger ones and the whole body.
        for (std::size_t chunk = 1; chunk <= c.Body.size(); chunk += chunk < 32 ? 1 : 13) {
            SCOPED_TRACE(std::string(c.Name) + ", read size " + std::to_string(chunk));
            TempDir dir;
            NameValueList fields;
            UploadResult result;
            {
                MultipartParser parser(kB, dir.Path().string(), fields);
                for (std::size_t pos = 0; pos < c.Body.size(); pos += chunk) {
                    parser.Feed(std::string_view(c.Body).substr(pos, chunk));
                }
                result = parser.Finish();
            }
            EXPECT_EQ(result.Status, c.Status);
            EXPECT_EQ(Fields(fields), c.Fields);
            EXPECT_EQ(Files(dir), c.Files);
            if (::testing::Test::HasFailure()) {
                return; // one failing read size says enough
            }
        }
    }
}

TEST(MultipartParserTest, RefusedNamesAreReported)
{
    TempDir dir;
    NameValueList fields;
    MultipartParser parser(kB, dir.Path().string(), fields);
    parser.Feed(Part("name=\"Attachment\"; filename=\"../../etc/x\"", "ok") +
                Part("name=\"Attachment\"; filename=\"..\\.message.txt\"", "no") +
                Part("name=\"Attachment\"; filename=\"body.txt\"", "First line of my text") +
                Part("name=\"Attachment\"; filename=\"body.txt.pdf\"", "%PDF") + Close());
    const UploadResult result = parser.Finish();
    EXPECT_EQ(result.Status, UploadStatus::FileNameRefused);
    EXPECT_EQ(result.StoredFiles, (std::vector<std::string>{"x", "body.txt.pdf"}));
    EXPECT_EQ(result.RefusedNames, (std::vector<std::string>{"..\\.message.txt", "body.txt"}));
}

TEST(MultipartParserTest, AFileThatWouldPassTheFileCapIsDroppedAndTheFormGoesOn)
{
    // Fed a byte at a time as well as whole: the cap holds wherever the data is split.
    for (const std::size_t piece : {std::size_t{1}, std::size_t{1} << 20}) {
        SCOPED_TRACE(piece);
        TempDir dir;
        dir.WriteFile("old.bin", "earlier file");
        NameValueList fields;
        MultipartLimits limits;
        limits.MaxFileBytes = 10;
        MultipartParser parser(kB, dir.Path().string(), fields, limits);
        const std::string body = Part("name=\"Attachment\"; filename=\"a.bin\"", "123456") +
                                 Part("name=\"Attachment\"; filename=\"big.bin\"", "12345") +
                                 Part("name=\"Attachment\"; filename=\"old.bin\"", "1234567") +
                                 Part("name=\"Attachment\"; filename=\"c.bin\"", "1234") +
                                 Part("name=\"Body\"", "my text") + Part("name=\"To\"", "t@example.com") + Close();
        for (std::size_t at = 0; at < body.size(); at += piece) {
            parser.Feed(std::string_view(body).substr(at, piece));
        }
        const UploadResult result = parser.Finish();
        EXPECT_EQ(result.Status, UploadStatus::FileTooLarge);
        EXPECT_EQ(result.StoredFiles, (std::vector<std::string>{"a.bin", "c.bin"}));
        EXPECT_EQ(result.TooLargeNames, (std::vector<std::string>{"big.bin", "old.bin"}));
        // A dropped file replaces nothing and leaves no temporary file.
        EXPECT_EQ(Files(dir), (std::map<std::string, std::string>{{".body.txt", "my text"},
                                                                    {"a.bin", "123456"},
                                                                    {"c.bin", "1234"},
                                                                    {"old.bin", "earlier file"}}));
        EXPECT_EQ(fields.GetValue("To"), std::string_view("t@example.com"));
    }
}

TEST(MultipartParserTest, CutUploadKeepsTheEarlierFileOfThatName)
{
    TempDir dir;
    dir.WriteFile("a.txt", "kept");
    NameValueList fields;
    MultipartParser parser(kB, dir.Path().string(), fields);
    parser.Feed("--" + kB + "\r\nContent-Disposition: form-data; name=\"Attachment\"; filename=\"a.txt\"\r\n\r\nnew");
    EXPECT_EQ(parser.Finish().Status, UploadStatus::Truncated);
    EXPECT_EQ(Files(dir), (std::map<std::string, std::string>{{"a.txt", "kept"}}));
}

TEST(MultipartParserTest, EveryLimitExceededByOneEndsTheParse)
{
    MultipartLimits limits;
    limits.MaxHeaderLine = 60;
    limits.MaxPartHeaderBytes = 200;
    limits.MaxFieldValue = 10;
    limits.MaxParts = 2;
    const std::string disposition = "Content-Disposition: form-data; name=\"A\"";
    const std::string exactLine = disposition + std::string(60 - disposition.size(), ' ');

    struct Case {
        const char* Name;
        std::string Body;
        UploadStatus Status;
    } cases[] = {
            {"HeaderLineAtLimit", "--" + kB + "\r\n" + exactLine + "\r\n\r\nv\r\n" + Close(), UploadStatus::Complete},
            {"HeaderLineOverLimit", "--" + kB + "\r\n" + exactLine + " \r\n\r\nv\r\n" + Close(),
             UploadStatus::HeaderTooLong},
            {"HeaderLineWithoutEnd", "--" + kB + "\r\n" + std::string(100, 'h'), UploadStatus::HeaderTooLong},
            {"HeaderBlockOverLimit",
             "--" + kB + "\r\n" + std::string(4, 'x').append("\r\n") + exactLine + "\r\n" + exactLine + "\r\n" +
                     exactLine + "\r\n" + exactLine + "\r\n\r\nv\r\n" + Close(),
             UploadStatus::HeaderTooLong},
            {"FieldAtLimit", Part("name=\"A\"", std::string(10, 'v')) + Close(), UploadStatus::Complete},
            {"FieldOverLimit", Part("name=\"A\"", std::string(11, 'v')) + Close(), UploadStatus::FieldTooLong},
            {"PartsAtLimit", Part("name=\"A\"", "1") + Part("name=\"B\"", "2") + Close(), UploadStatus::Complete},
            {"PartsOverLimit", Part("name=\"A\"", "1") + Part("name=\"B\"", "2") + Part("name=\"C\"", "3") + Close(),
             UploadStatus::TooManyParts},
            {"NameOverLimit", Part("name=\"" + std::string(256, 'n') + "\"", "1") + Close(),
             UploadStatus::HeaderTooLong},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TempDir dir;
        NameValueList fields;
        MultipartParser parser(kB, dir.Path().string(), fields, limits);
        parser.Feed(c.Body);
        EXPECT_EQ(parser.Finish().Status, c.Status);
    }

    MultipartLimits total;
    total.MaxTotalBytes = 100;
    TempDir dir;
    NameValueList fields;
    MultipartParser parser(kB, dir.Path().string(), fields, total);
    EXPECT_TRUE(parser.Feed(std::string(100, 'p')));
    EXPECT_FALSE(parser.Feed("p"));
    EXPECT_EQ(parser.Finish().Status, UploadStatus::TooLarge);
}

TEST(MultipartUploadTest, BoundaryParameter)
{
    const struct {
        const char* ContentType;
        std::optional<std::string> Boundary;
    } cases[] = {
            {"multipart/form-data; boundary=abc", "abc"},
            {"multipart/form-data; BOUNDARY=\"a b:c\"; charset=utf-8", "a b:c"},
            {"multipart/form-data; charset=utf-8; boundary=abc; x=y", "abc"},
            {"multipart/form-data;boundary=abc ; x=y", "abc"},
            {"multipart/form-data; xboundary=abc", std::nullopt},
            {"multipart/form-data", std::nullopt},
            {"multipart/form-data; boundary=", std::nullopt},
            {"multipart/form-data; boundary=\"\"", std::nullopt},
            {"multipart/form-data; boundary=\"ab \"", std::nullopt},
            {"multipart/form-data; boundary=a<b", std::nullopt},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.ContentType);
        EXPECT_EQ(MultipartBoundary(c.ContentType), c.Boundary);
    }
    EXPECT_EQ(MultipartBoundary("multipart/form-data; boundary=" + std::string(70, 'b')), std::string(70, 'b'));
    EXPECT_EQ(MultipartBoundary("multipart/form-data; boundary=" + std::string(71, 'b')), std::nullopt);
}

// A stream holding bytes, removed when closed.
std::FILE* StreamOf(const std::string& bytes)
{
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

TEST(MultipartUploadTest, ReadsAtMostTheAnnouncedLength)
{
    const std::string body = Part("name=\"To\"", "e@example.com") + Close();
    const std::string contentType = "multipart/form-data; boundary=\"" + kB + "\"; charset=utf-8";
    {
        TempDir dir;
        NameValueList fields;
        std::FILE* in = StreamOf(body);
        EXPECT_EQ(ParseMultipartUpload(in, contentType, body.size() + 1000, dir.Path().string(), fields).Status,
                  UploadStatus::Complete);
        EXPECT_EQ(fields.GetValue("To"), std::string("e@example.com"));
        std::fclose(in);
    }
    {
        TempDir dir;
        NameValueList fields;
        std::FILE* in = StreamOf(body);
        EXPECT_EQ(ParseMultipartUpload(in, contentType, body.size() - 3, dir.Path().string(), fields).Status,
                  UploadStatus::Truncated);
        std::fclose(in);
    }
    {
        TempDir dir;
        NameValueList fields;
        std::FILE* in = StreamOf(body);
        EXPECT_EQ(ParseMultipartUpload(in, "multipart/form-data", body.size(), dir.Path().string(), fields).Status,
                  UploadStatus::NoBoundary);
        EXPECT_EQ(std::ftell(in), 0);
        MultipartLimits small;
        small.MaxTotalBytes = body.size() - 1;
        EXPECT_EQ(ParseMultipartUpload(in, contentType, body.size(), dir.Path().string(), fields, small).Status,
                  UploadStatus::TooLarge);
        EXPECT_EQ(std::ftell(in), 0);
        std::fclose(in);
    }
}

// Pseudo-random file content, cut into pieces, with delimiter-like bytes sprinkled in.
class ContentSource {
public:
    std::string Next(std::size_t size)
    {
        std::string out(size, '\0');
        for (char& c : out) {
            m_state = m_state * 6364136223846793005ULL + 1442695040888963407ULL;
            c = static_cast<char>(m_state >> 56);
        }
        if (size > 40) {
            out.replace(size / 2, 12, "\r\n--" + kB.substr(0, 6) + "\r\n");
        }
        return out;
    }

private:
    std::uint64_t m_state = 42;
};

long PeakKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A body of tens of MiB goes through with memory that does not follow its size, and its file is stored exactly.
TEST(MultipartUploadTest, LargeUploadStreamsToItsFile)
{
    constexpr std::size_t kPiece = 1 << 20;
    constexpr int kPieces = 48;
    TempDir dir;
    const std::string bodyPath = dir / ".request";
    {
        std::FILE* out = std::fopen(bodyPath.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        const std::string head =
                Part("name=\"To\"", "f@example.com") + "--" + kB +
                "\r\nContent-Disposition: form-data; name=\"Attachment\"; filename=\"big.bin\"\r\n\r\n";
        std::fwrite(head.data(), 1, head.size(), out);
        ContentSource source;
        for (int i = 0; i < kPieces; ++i) {
            const std::string piece = source.Next(kPiece);
            std::fwrite(piece.data(), 1, piece.size(), out);
        }
        const std::string tail = "\r\n" + Close();
        std::fwrite(tail.data(), 1, tail.size(), out);
        std::fclose(out);
    }
    const std::string composeDir = dir / "compose";
    std::filesystem::create_directory(composeDir);
    const long before = PeakKilobytes();
    NameValueList fields;
    std::FILE* in = std::fopen(bodyPath.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    const UploadResult result = ParseMultipartUpload(in, "multipart/form-data; boundary=" + kB,
                                                     std::filesystem::file_size(bodyPath), composeDir, fields);
    std::fclose(in);
    const long grown = PeakKilobytes() - before;
    EXPECT_EQ(result.Status, UploadStatus::Complete);
    EXPECT_LT(grown, 16 * 1024) << "peak memory grew by " << grown << " KiB for a " << kPieces << " MiB upload";

    std::FILE* stored = std::fopen((composeDir + "/big.bin").c_str(), "rb");
    ASSERT_NE(stored, nullptr);
    ContentSource source;
    std::string got(kPiece, '\0');
    for (int i = 0; i < kPieces; ++i) {
        ASSERT_EQ(std::fread(got.data(), 1, kPiece, stored), kPiece) << "piece " << i;
        ASSERT_EQ(got, source.Next(kPiece)) << "piece " << i;
    }
    EXPECT_EQ(std::fgetc(stored), EOF);
    std::fclose(stored);
    EXPECT_EQ(fields.GetValue("To"), std::string("f@example.com"));
}

} // namespace
} // namespace qm

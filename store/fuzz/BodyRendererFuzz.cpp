// libFuzzer target for the body renderer and the HTML sanitizer. The first byte picks the content type (bits 0-1),
// the transfer encoding (bits 2-3), raw mode (bit 4), a session (bit 5), remote images shown (bit 6) and small
// limits (bit 7); the rest is the body of a message part. Every display output must parse into safe elements and
// attributes only and stay within a small multiple of the input.
#include "store/BodyRenderer.h"
#include "store/tests/HtmlSafety.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace {

// A directory of this process for the message, the output and the session's temporary file.
class FuzzDir {
public:
    FuzzDir()
    {
        std::random_device random;
        m_path = std::filesystem::temp_directory_path() / ("qm-body-fuzz-" + std::to_string(random()));
        std::filesystem::create_directories(m_path / "temp");
    }

    FuzzDir(const FuzzDir&) = delete;
    FuzzDir& operator=(const FuzzDir&) = delete;

    ~FuzzDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }

    std::string operator/(const char* name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

[[noreturn]] void Fail(const char* what, const std::string& detail)
{
    static_cast<void>(std::fprintf(stderr, "body renderer invariant broken: %s: %s\n", what, detail.c_str()));
    std::abort();
}

std::string RenderOnce(const FuzzDir& dir, std::uint8_t flags, std::string_view body, bool& cut)
{
    {
        std::ofstream message(dir / "message", std::ios::binary | std::ios::trunc);
        message.write(body.data(), static_cast<std::streamsize>(body.size()));
    }
    static constexpr const char* kTypes[] = {"text/html; charset=iso-2022-jp", "text/plain", "image/gif", "TEXT/HTML"};
    static constexpr const char* kEncodings[] = {"7bit", "base64", "quoted-printable", "uuencode"};
    qm::store::PartIndexEntry part;
    part.ContentType = kTypes[flags & 3];
    part.TransferEncoding = kEncodings[(flags >> 2) & 3];
    part.LineCount = qm::store::kWholeFileLines;
    qm::store::RenderContext session;
    session.SessionId = "ABCDEFG";
    session.Language = "ja";
    session.ScriptName = "/qm";
    session.SessionTempDir = dir / "temp";
    qm::store::BodyRenderLimits limits;
    if ((flags & 0x80) != 0) {
        limits.MaxDisplayBytes = 64;
    }
    const std::string outPath = dir / "out";
    std::FILE* out = std::fopen(outPath.c_str(), "wb");
    if (out == nullptr) {
        Fail("cannot create the output file", outPath);
    }
    {
        qm::store::BodyRenderer renderer(out, (dir / "message").c_str(),
                                         (flags & 0x10) != 0 ? qm::store::RenderMode::Raw
                                                             : qm::store::RenderMode::Display,
                                         (flags & 0x20) != 0 ? &session : nullptr, limits);
        renderer.SetRemoteImages((flags & 0x40) != 0 ? qm::store::RemoteImages::Show : qm::store::RemoteImages::Block);
        renderer.RenderPart(part);
        cut = renderer.BodyCut();
    }
    static_cast<void>(std::fclose(out));
    std::ifstream in(outPath, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

// The entry that libFuzzer, or the replay main of the test builds, calls for every input.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    static const FuzzDir kDir;
    const std::uint8_t flags = data[0];
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    qm::store::test::SafetyRules rules;
    rules.SessionPrefix = "/qm?Session=ABCDEFG&";
    rules.RemoteImages = (flags & 0x40) != 0;

    // The sanitizer on its own, on the input as it is.
    qm::store::HtmlSanitizerOptions options;
    options.Images = rules.RemoteImages ? qm::store::RemoteImages::Show : qm::store::RemoteImages::Block;
    options.AttachmentUrlBase = "/qm?Session=ABCDEFG&View=Attachment&CID=";
    std::string sanitized;
    static_cast<void>(qm::store::SanitizeHtml(body, options, sanitized));
    if (std::string reason = qm::store::test::CheckPageSafety(sanitized, rules); !reason.empty()) {
        Fail("sanitized HTML", reason + " in " + sanitized);
    }
    if (sanitized.size() > body.size() * 8 + 8192) {
        Fail("sanitized HTML grew", std::to_string(sanitized.size()));
    }

    bool cut = false;
    const std::string page = RenderOnce(kDir, flags, body, cut);
    if ((flags & 0x10) != 0) {
        return 0; // raw mode gives the decoded bytes, which compose escapes itself
    }
    if (std::string reason = qm::store::test::CheckPageSafety(page, rules); !reason.empty()) {
        Fail("rendered page", reason + " in " + page);
    }
    if (page.size() > body.size() * 20 + 1024) {
        Fail("rendered page grew", std::to_string(page.size()));
    }
    if (!std::filesystem::is_empty(kDir / "temp")) {
        Fail("temporary file left", kDir / "temp");
    }
    return 0;
}

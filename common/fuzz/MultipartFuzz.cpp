// libFuzzer target for the multipart/form-data upload parser. The input: a byte giving the size of the pieces the
// body is fed in (1 to 256), then the body, whose boundary is "b". Checks what must hold for every input: every
// file left in the compose directory passes the name check and was reported as stored (nothing half-written stays
// behind), and the status agrees with what was stored.
#include "common/MultipartUpload.h"
#include "platform/Path.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void Broken(const char* what)
{
    static_cast<void>(std::fprintf(stderr, "multipart invariant broken: %s\n", what));
    std::abort();
}

// The compose directory of every run, made once and removed at exit (kept on the heap, so that it outlives the
// exit handler that removes it).
const std::string& ComposeDir()
{
    static const std::string* const dir = new std::string([] {
        std::string pattern = (std::filesystem::temp_directory_path() / "qm-multipart-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            Broken("no temporary directory");
        }
        static_cast<void>(std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(ComposeDir(), ignored);
        }));
        return pattern;
    }());
    return *dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::size_t piece = std::size_t{data[0]} + 1;
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string& dir = ComposeDir();
    qm::MultipartLimits limits;
    limits.MaxFieldValue = 512;
    limits.MaxHeaderLine = 256;
    limits.MaxParts = 16;
    qm::NameValueList fields;
    qm::UploadResult result;
    {
        qm::MultipartParser parser("b", dir, fields, limits);
        for (std::size_t pos = 0; pos < body.size() && parser.Feed(body.substr(pos, piece)); pos += piece) {
        }
        result = parser.Finish();
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name != ".body.txt") {
            if (!qm::platform::IsSafeName(name)) {
                Broken("a stored file name fails the name check");
            }
            if (std::ranges::find(result.StoredFiles, name) == result.StoredFiles.end()) {
                Broken("a file was left that was not reported as stored");
            }
        }
    }
    if (result.Status == qm::UploadStatus::FileNameRefused && result.RefusedNames.empty()) {
        Broken("a refused name was not reported");
    }
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::filesystem::remove_all(entry.path(), ignored);
    }
    return 0;
}

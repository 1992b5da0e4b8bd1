#include "common/Version.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string_view>

namespace qm {

// The marker lets a reader find the version in a binary without loading it. The programs and libraries we ship
// force this object in (see qm_embed_version), since nothing else may refer to it.
// It has external linkage (a const object alone would not), so that the linker can be asked for it by name.
extern "C" {
extern const char g_qmVersionMarker[];
[[gnu::used]] const char g_qmVersionMarker[] = "QMVERSION:" QM_VERSION_STRING;
}

namespace {

constexpr std::size_t kMaxVersionLength = 31;
constexpr std::size_t kChunkSize = std::size_t{64} * 1024;

bool IsVersionChar(char c)
{
    return (c >= '0' && c <= '9') || c == '.';
}

} // namespace

const char* VersionString()
{
    return g_qmVersionMarker + std::strlen(kVersionMarker);
}

const char* ShortVersionString()
{
    return "2.2.3";
}

Result<std::string> ReadFileVersion(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const int code = errno != 0 ? errno : EIO;
        return Fail("cannot open " + path, code);
    }
    const std::string_view marker(kVersionMarker);
    // The window keeps what a marker cut by a chunk boundary needs of the previous chunk.
    std::string window;
    std::string chunk(kChunkSize, '\0');
    for (bool end = false; !end;) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        end = got == 0;
        window.append(chunk.data(), got);

        std::size_t keepFrom = window.size() > marker.size() ? window.size() - (marker.size() - 1) : 0;
        for (std::size_t at = window.find(marker); at != std::string::npos; at = window.find(marker, at + 1)) {
            // A marker is followed by digits and dots and a NUL byte; the reader's own copy of the marker text,
            // or a stray match, is not.
            const std::size_t start = at + marker.size();
            std::size_t stop = start;
            while (stop < window.size() && stop - start <= kMaxVersionLength && IsVersionChar(window[stop])) {
                ++stop;
            }
            if (stop == window.size() && stop - start <= kMaxVersionLength && !end) {
                keepFrom = at; // the rest is in the next chunk
                break;
            }
            if (stop < window.size() && window[stop] == '\0' && stop > start && stop - start <= kMaxVersionLength) {
                return window.substr(start, stop - start);
            }
        }
        window.erase(0, keepFrom);
    }
    if (in.bad()) {
        return Fail("cannot read " + path, EIO);
    }
    return Fail(path + " carries no version", ENOENT);
}

} // namespace qm

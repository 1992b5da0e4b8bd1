#include "platform/Path.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <sys/stat.h>

namespace qm::platform {

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(static_cast<unsigned char>(a[i])) != FoldAscii(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string PathJoin(std::string_view dir, std::string_view name)
{
    std::string out;
    out.reserve(dir.size() + name.size() + 1);
    out.append(dir);
    if (!out.empty() && out.back() != '/' && !name.empty()) {
        out.push_back('/');
    }
    if (!out.empty() && out.back() == '/' && !name.empty() && name.front() == '/') {
        name.remove_prefix(1);
    }
    out.append(name);
    return out;
}

std::string NativePath(std::string_view stored)
{
    std::string out(stored);
    for (char& c : out) {
        if (c == '\\') {
            c = '/';
        }
    }
    return out;
}

std::string StoredPath(std::string_view native)
{
    std::string out(native);
    for (char& c : out) {
        if (c == '/') {
            c = '\\';
        }
    }
    return out;
}

std::size_t LastSeparator(std::string_view path)
{
    return path.find_last_of("/\\");
}

std::string ParentDirectory(std::string_view path)
{
    std::size_t sep = LastSeparator(path);
    if (sep == std::string_view::npos) {
        return ".";
    }
    if (sep == 0) {
        return "/";
    }
    return std::string(path.substr(0, sep));
}

bool IsSafeName(std::string_view name)
{
    // With no separator in it, a name is one path level; only "." and ".." of those climb or stay, and the leading
    // '.' refusal covers both (and hidden names). A ".." inside a name ("Archive..2024") is an ordinary name.
    if (name.empty() || name.size() > 255 || name.front() == '.') {
        return false;
    }
    return std::ranges::none_of(name, [](char ch) {
        auto c = static_cast<unsigned char>(ch);
        return c < 0x20 || c == 0x7f || c == '/' || c == '\\';
    });
}

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

using DirPtr = std::unique_ptr<DIR, DirCloser>;

} // namespace

std::optional<std::string> ResolveNoCase(const std::string& dir, std::string_view name)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }

    struct stat st = {};
    if (lstat(PathJoin(dir, name).c_str(), &st) == 0) {
        return std::string(name);
    }
    DirPtr d(opendir(dir.empty() ? "." : dir.c_str()));
    if (!d) {
        return std::nullopt;
    }
    std::optional<std::string> best;
    while (dirent* e = readdir(d.get())) { // NOLINT(concurrency-mt-unsafe): one thread per stream
        std::string_view entry(e->d_name);
        if (entry == "." || entry == ".." || !EqualsNoCase(entry, name)) {
            continue;
        }
        if (!best || entry < *best) {
            best = std::string(entry);
        }
    }
    return best;
}

std::optional<std::string> ResolvePathNoCase(const std::string& base, std::string_view relative)
{
    std::string path = base;
    while (!relative.empty()) {
        std::size_t sep = relative.find_first_of("/\\");
        std::string_view part = relative.substr(0, sep);
        relative = sep == std::string_view::npos ? std::string_view() : relative.substr(sep + 1);
        if (part.empty()) {
            continue;
        }
        if (part == "." || part == "..") {
            return std::nullopt;
        }
        std::optional<std::string> real = ResolveNoCase(path, part);
        if (!real) {
            return std::nullopt;
        }
        path = PathJoin(path, *real);
    }
    return path;
}

bool WildcardMatch(std::string_view pattern, std::string_view name)
{
    if (pattern == "*.*") {
        return true;
    }
    // Greedy match with one backtrack point: the position after the last '*' seen.
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t starP = std::string_view::npos;
    std::size_t starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
            continue;
        }
        if (p < pattern.size() && (pattern[p] == '?' || FoldAscii(static_cast<unsigned char>(pattern[p])) ==
                                                                FoldAscii(static_cast<unsigned char>(name[n])))) {
            ++p;
            ++n;
            continue;
        }
        if (starP == std::string_view::npos) {
            return false;
        }
        p = starP + 1;
        n = ++starN;
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

} // namespace qm::platform

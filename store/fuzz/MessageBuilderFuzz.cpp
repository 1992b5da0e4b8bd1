// libFuzzer target for the message builder's MIME walk: the input, split at LF, is stored as one message in a scratch
// user directory, and what the builder wrote is checked against what it was fed: the message file holds exactly the
// lines with CR LF, every part lies inside it in order, names are safe file names, the part index file says what
// the builder listed, and walking the stored file again lists the same parts.
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"
#include "store/PartIndex.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

// Inputs above this are skipped, so one input's work and disk use stay small.
constexpr std::size_t kMaxInput = std::size_t{1} << 20;

// The scratch directory of this process, made once and removed when the process ends normally.
class Scratch {
public:
    Scratch()
    {
        std::string pattern = (fs::temp_directory_path() / "qm-mime-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            static_cast<void>(std::fprintf(stderr, "cannot create a scratch directory\n"));
            std::abort();
        }
        m_path = pattern;
    }

    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    ~Scratch()
    {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }

    const fs::path& Path() const { return m_path; }

private:
    fs::path m_path;
};

[[noreturn]] void Broken(const char* what, int part)
{
    static_cast<void>(std::fprintf(stderr, "message builder invariant broken: %s (part %d)\n", what, part));
    std::abort();
}

std::string ReadWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool SafeName(const std::string& name)
{
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    return std::ranges::none_of(name, [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F || c == '/' || c == '\\';
    });
}

bool SameNumbers(const qm::store::PartIndexEntry& a, const qm::store::PartIndexEntry& b)
{
    return a.Part == b.Part && a.SubPart == b.SubPart && a.Size == b.Size && a.Offset == b.Offset &&
           a.LineCount == b.LineCount;
}

// The part list against the message file: each part starts at a line start, its counted bytes and lines end
// before the next part begins (or the file ends); its name is a safe file name.
void CheckParts(const qm::store::PartIndex& parts, const std::string& msg)
{
    if (parts.Count() > qm::store::kMaxMessageParts) {
        Broken("more parts than the cap", parts.Count());
    }
    for (int i = 0; i < parts.Count(); ++i) {
        const qm::store::PartIndexEntry& p = parts.Item(i);
        const std::size_t end = i + 1 < parts.Count() ? parts.Item(i + 1).Offset : msg.size();
        if (p.Offset > end || end > msg.size()) {
            Broken("offsets decrease or leave the message file", i);
        }
        if (p.Offset > 0 && msg[p.Offset - 1] != '\n') {
            Broken("a part does not start at a line start", i);
        }
        if (p.Size < 0 || static_cast<std::size_t>(p.Size) > end - p.Offset) {
            Broken("a part's size runs past its body", i);
        }
        std::size_t lines = 0;
        for (std::size_t at = p.Offset; at < end; ++at) {
            lines += msg[at] == '\n' ? 1 : 0;
        }
        if (p.LineCount > lines) {
            Broken("a part counts more lines than its body has", i);
        }
        if (!SafeName(p.FileName)) {
            Broken("a part name is empty or holds a directory or control byte", i);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Scratch s_scratch;
    if (size > kMaxInput) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < input.size();) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos) {
            end = input.size();
        }
        lines.emplace_back(input.substr(start, end - start));
        start = end + 1;
    }

    const fs::path userDir = s_scratch.Path() / "user";
    std::error_code error;
    fs::remove_all(userDir, error);
    fs::create_directories(userDir / "Inbox", error);

    qm::store::MessageIndex index(userDir.string());
    qm::store::MessageIndexEntry* entry = nullptr;
    qm::store::PartIndex built;
    {
        qm::store::MessageBuilder builder(index, "Inbox");
        if (!builder.Begin(static_cast<std::int64_t>(size), true)) {
            Broken("an empty index has no number to give", -1);
        }
        for (const std::string& line : lines) {
            builder.AddLine(line);
        }
        // As the POP3 client does for a message cut off in its header.
        if (builder.InHeader()) {
            lines.emplace_back();
            builder.AddLine("");
        }
        entry = builder.Finish();
        built = builder.TakeParts();
    }
    if (entry == nullptr || !entry->HasFlag(qm::store::MessageFlag::Stored)) {
        Broken("a finished message is not stored", -1);
    }

    std::string fed;
    for (const std::string& line : lines) {
        fed += line;
        fed += "\r\n";
    }
    const std::string msg = ReadWhole(entry->GetMessagePath());
    if (msg != fed) {
        Broken("the message file differs from the lines fed", -1);
    }
    CheckParts(built, msg);

    const std::string attPath = entry->GetPartIndexPath();
    qm::store::PartIndex written;
    const bool hasAtt = written.Read(attPath.c_str());
    if (hasAtt != (built.Count() > 0)) {
        Broken("a part index file exists exactly when there are parts", -1);
    }
    if (written.Count() != built.Count()) {
        Broken("the part index file lists other parts than the builder", -1);
    }
    for (int i = 0; i < built.Count(); ++i) {
        if (!SameNumbers(written.Item(i), built.Item(i))) {
            Broken("the part index file lists other parts than the builder", i);
        }
    }

    if (!entry->RebuildPartIndex()) {
        Broken("the stored message file cannot be walked again", -1);
    }
    const qm::store::PartIndex& rebuilt = *entry->GetPartIndex();
    if (rebuilt.Count() != built.Count()) {
        Broken("walking the stored file again finds another number of parts", -1);
    }
    for (int i = 0; i < built.Count(); ++i) {
        if (!SameNumbers(rebuilt.Item(i), built.Item(i)) || rebuilt.Item(i).FileName != built.Item(i).FileName) {
            Broken("walking the stored file again finds another part", i);
        }
    }

    std::size_t files = 0;
    for (const auto& item : fs::recursive_directory_iterator(userDir, error)) {
        files += item.is_regular_file() ? 1 : 0;
    }
    if (files != (hasAtt ? 2U : 1U)) {
        Broken("the builder left other files than the message file and its part index", -1);
    }
    fs::remove_all(userDir, error);
    return 0;
}

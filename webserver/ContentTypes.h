// Content types of static files by extension, from the installation's MimeTypes.cfg.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace qm {

/// Stand-in for the shared MIME-type table until it is in: each line of the file is a type followed by its
/// extensions, separated by white space; the first mapping of an extension counts; extensions match without
/// regard to case.
class ContentTypes {
public:
    /// False when the file cannot be read (the table then stays empty).
    bool Load(const std::string& path);

    /// The type of `extension`, or "application/octet-stream" when it is not in the table.
    const char* TypeForExtension(std::string_view extension) const;

private:
    std::map<std::string, std::string, std::less<>> m_types;
};

} // namespace qm

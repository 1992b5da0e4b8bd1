// MimeTypeTable: the file-extension to MIME-type map read from MimeTypes.cfg.
#pragma once

#include "common/NameValueList.h"

namespace qm {

/// Extensions (names) and their types (values) in file order; an extension may appear more than once.
///
/// The look-ups only read the list, so any number of threads may look up at the same time once Load has returned;
/// Load itself must not run while others look up.
class MimeTypeTable {
public:
    static constexpr const char* kDefaultType = "application/octet-stream";
    static constexpr const char* kDefaultExtension = "att";

    /// Replaces the table with the file's entries. Each line holds a type followed by its extensions, separated by
    /// spaces, TABs, CR or LF; there is no comment syntax. Lines longer than 255 bytes are read in 255-byte pieces,
    /// each taken as a line of its own. Returns false (the table left empty) when the file cannot be opened.
    bool Load(const char* path);

    /// The type of the first entry whose extension equals `extension` without regard to case, or kDefaultType.
    /// The text lives as long as the table is neither loaded again nor destroyed.
    const char* TypeForExtension(const char* extension) const;

    /// The extension of the first entry whose type equals `type` without regard to case, or kDefaultExtension.
    const char* ExtensionForType(const char* type) const;

    /// The entries, for iteration by index.
    const NameValueList& Entries() const { return m_entries; }

private:
    NameValueList m_entries;
};

} // namespace qm

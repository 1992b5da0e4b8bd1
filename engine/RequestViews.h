// The request's reading of its View field: the view id, and the name of the page the view shows.
#pragma once

#include "engine/Views.h"

#include <optional>
#include <string>
#include <string_view>

namespace qm::engine {

/// The view id of the View field: an empty value gives Logon; "Compose" (any case) gives Compose-Attach when the
/// request has an Attach field, else Compose-SpellCheck when it has a SpellCheck field, else Compose (the presence
/// of the field counts, not its value); any other listed name (any case) its id; anything else 0.
int LookupView(std::string_view view, bool hasAttach, bool hasSpellCheck);

/// The name of the page a view shows: the table name of a listed view; for view 0 the raw View value, but only
/// when it is a safe file name (no separator, no leading '.', no control byte) of at most 79 bytes, since
/// it names a template file. nullopt when there is no usable name.
std::optional<std::string> PageNameOf(int view, std::string_view rawView);

/// The page name with "-Redirect" appended (the name cut to 70 bytes first): the page shown while mail is fetched.
std::string RedirectPageName(std::string_view page);

} // namespace qm::engine

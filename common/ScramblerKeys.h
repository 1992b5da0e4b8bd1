// The fixed key data of the password scrambler, shared by every program of the system.
#pragma once

#include <array>
#include <cstdint>

namespace qm {

/// The scrambler's key table, indexed by a byte value. Changing it makes every stored scrambled value unreadable.
extern const std::array<std::uint8_t, 256> kScramblerKeyTable;

/// The descrambler's key text: 242 printable characters followed by a NUL.
extern const std::array<char, 243> kDescramblerKeyText;

} // namespace qm

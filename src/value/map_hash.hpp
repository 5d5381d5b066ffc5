// Keyed hashing for every map of the system: SipHash-1-3 over a name's bytes
// followed by one 0xFF byte, and the per-thread supply of map seeds. Knows
// nothing about the maps themselves.
#pragma once

#include <cstdint>
#include <string_view>

namespace pelmo {

struct HashSeed {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

// SipHash-1-3 of `bytes` followed by a single 0xFF byte, keyed with `seed`.
std::uint64_t hash_name(std::string_view bytes, HashSeed seed) noexcept;

// The seed for a newly created map. Each thread draws one pair from the
// operating system once and then hands it out with the first word advanced
// by one per map, so two maps never share a seed by accident.
HashSeed next_map_seed() noexcept;

}  // namespace pelmo

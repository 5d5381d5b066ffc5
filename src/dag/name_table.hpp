// Interned names: each distinct text gets a small dense id, in order of
// first appearance, and the texts sit back to back in one buffer. Nodes refer
// to names by id, so a name used by many nodes is stored once and a run's
// context can be a vector indexed by id.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "value/map_hash.hpp"

namespace pelmo {

using NameId = std::uint32_t;
inline constexpr NameId kNoName = std::numeric_limits<NameId>::max();

class NameTable {
 public:
  NameTable() noexcept;

  // The id of `name`, new if the text was not seen before. Throws
  // std::length_error past 2^32 - 1 names.
  NameId intern(std::string_view name);

  std::string_view operator[](NameId id) const noexcept {
    const std::size_t begin = id == 0 ? 0 : ends_[id - 1];
    return {chars_.data() + begin, ends_[id] - begin};
  }
  std::size_t size() const noexcept { return ends_.size(); }

  // No more names will be added: the lookup index goes, the texts stay.
  void freeze() noexcept;

 private:
  void grow_index();
  void place(NameId id, std::uint64_t hash) noexcept;

  std::string chars_;
  std::vector<std::uint64_t> ends_;   // ends_[id]: where name id ends in chars_
  std::vector<std::uint32_t> index_;  // open addressing over id + 1; 0 is empty
  HashSeed seed_;
};

}  // namespace pelmo

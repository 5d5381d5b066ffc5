#include "dag/name_table.hpp"

#include <algorithm>
#include <stdexcept>

namespace pelmo {

NameTable::NameTable() noexcept : seed_(next_map_seed()) {}

NameId NameTable::intern(std::string_view name) {
  const std::uint64_t hash = hash_name(name, seed_);
  if (!index_.empty()) {
    const std::size_t mask = index_.size() - 1;
    for (std::size_t slot = hash & mask; index_[slot] != 0; slot = (slot + 1) & mask) {
      const NameId id = index_[slot] - 1;
      if ((*this)[id] == name) return id;
    }
  }
  if (size() >= kNoName - 1) throw std::length_error("too many distinct names");
  const auto id = static_cast<NameId>(size());
  chars_.append(name);
  ends_.push_back(chars_.size());
  // At most half full, so probes stay short and always end.
  if (2 * size() > index_.size()) {
    grow_index();
  } else {
    place(id, hash);
  }
  return id;
}

void NameTable::freeze() noexcept { std::vector<std::uint32_t>().swap(index_); }

void NameTable::grow_index() {
  // Doubling keeps the load between a quarter and a half.
  std::size_t capacity = std::max<std::size_t>(16, 2 * index_.size());
  while (capacity < 2 * size()) capacity *= 2;
  index_.assign(capacity, 0);
  for (NameId id = 0; id < size(); ++id) place(id, hash_name((*this)[id], seed_));
}

void NameTable::place(NameId id, std::uint64_t hash) noexcept {
  const std::size_t mask = index_.size() - 1;
  std::size_t slot = hash & mask;
  while (index_[slot] != 0) slot = (slot + 1) & mask;
  index_[slot] = id + 1;
}

}  // namespace pelmo

// The one map type of the system: names (owned UTF-8 strings) to values,
// hashed with a seed of the map's own. Entries sit in a dense vector with
// their hashes; a probe table over them is added once the map outgrows a
// handful of entries. There is no removal, only insertion with replacement,
// so positions never move. Concurrent readers are safe; writers are not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "value/map_hash.hpp"

namespace pelmo {

namespace detail {
// Outside the class so that the member `clone` does not hide the free ones;
// the overload for `Value` is found by argument-dependent lookup.
template <typename V>
V clone_value(const V& value) {
  return clone(value);
}
}  // namespace detail

template <typename V>
class SeededMap {
 public:
  struct Entry {
    std::string key;
    V value;
    std::uint64_t hash;
  };

  SeededMap() noexcept : seed_(next_map_seed()) {}
  SeededMap(SeededMap&&) noexcept = default;
  SeededMap& operator=(SeededMap&&) noexcept = default;
  SeededMap(const SeededMap&) = delete;
  SeededMap& operator=(const SeededMap&) = delete;
  ~SeededMap() = default;

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  HashSeed seed() const noexcept { return seed_; }

  auto begin() const noexcept { return entries_.cbegin(); }
  auto end() const noexcept { return entries_.cend(); }

  const V* get(std::string_view key) const noexcept {
    std::ptrdiff_t at = find(key, hash_name(key, seed_));
    return at < 0 ? nullptr : &entries_[static_cast<std::size_t>(at)].value;
  }

  V* get_mut(std::string_view key) noexcept {
    std::ptrdiff_t at = find(key, hash_name(key, seed_));
    return at < 0 ? nullptr : &entries_[static_cast<std::size_t>(at)].value;
  }

  // A present key keeps its position and gets the new value; the old value
  // is released here, exactly once.
  void insert(std::string key, V value) {
    const std::uint64_t hash = hash_name(key, seed_);
    insert_hashed(std::move(key), std::move(value), hash);
  }

  void reserve(std::size_t count) { entries_.reserve(count); }

  // Moves every entry of `other` in, in its order, replacing present keys.
  void merge_from(SeededMap&& other) {
    const bool same_seed = other.seed_.k0 == seed_.k0 && other.seed_.k1 == seed_.k1;
    if (entries_.empty() && same_seed) {
      *this = std::move(other);
      return;
    }
    for (Entry& entry : other.entries_) {
      std::uint64_t hash = same_seed ? entry.hash : hash_name(entry.key, seed_);
      insert_hashed(std::move(entry.key), std::move(entry.value), hash);
    }
    other.entries_.clear();
    other.index_.clear();
  }

  // Deep copy: same seed, so the copy iterates in the source's order.
  SeededMap clone() const {
    SeededMap copy(seed_);
    copy.entries_.reserve(entries_.size());
    for (const Entry& entry : entries_) {
      copy.entries_.push_back(Entry{entry.key, detail::clone_value(entry.value), entry.hash});
    }
    copy.index_ = index_;
    return copy;
  }

 private:
  // Up to this many entries a lookup compares stored hashes in order: for
  // the few names a node maps, that beats probing a table.
  static constexpr std::size_t kDirectLimit = 8;

  explicit SeededMap(HashSeed seed) noexcept : seed_(seed) {}

  std::ptrdiff_t find(std::string_view key, std::uint64_t hash) const noexcept {
    if (index_.empty()) {
      for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].hash == hash && entries_[i].key == key)
          return static_cast<std::ptrdiff_t>(i);
      }
      return -1;
    }
    const std::size_t mask = index_.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      std::uint32_t mark = index_[slot];
      if (mark == 0) return -1;
      const Entry& entry = entries_[mark - 1];
      if (entry.hash == hash && entry.key == key) return static_cast<std::ptrdiff_t>(mark - 1);
    }
  }

  void insert_hashed(std::string&& key, V&& value, std::uint64_t hash) {
    std::ptrdiff_t at = find(key, hash);
    if (at >= 0) {
      entries_[static_cast<std::size_t>(at)].value = std::move(value);
      return;
    }
    entries_.push_back(Entry{std::move(key), std::move(value), hash});
    if (entries_.size() <= kDirectLimit) return;
    if (index_.empty() || entries_.size() * 2 > index_.size()) {
      rebuild_index();
    } else {
      place(static_cast<std::uint32_t>(entries_.size()), hash);
    }
  }

  void rebuild_index() {
    std::size_t capacity = 32;
    while (capacity < entries_.size() * 4) capacity *= 2;
    index_.assign(capacity, 0);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      place(static_cast<std::uint32_t>(i + 1), entries_[i].hash);
    }
  }

  void place(std::uint32_t mark, std::uint64_t hash) noexcept {
    const std::size_t mask = index_.size() - 1;
    std::size_t slot = hash & mask;
    while (index_[slot] != 0) slot = (slot + 1) & mask;
    index_[slot] = mark;
  }

  std::vector<Entry> entries_;
  std::vector<std::uint32_t> index_;  // entry position + 1; 0 marks a free slot
  HashSeed seed_;
};

}  // namespace pelmo

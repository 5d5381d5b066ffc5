#include "value/map_hash.hpp"

// getentropy: glibc and musl declare it here, macOS in <sys/random.h>, whose
// declaration needs the size_t that this header brings first.
#include <unistd.h>

#include <sys/random.h>

#include <chrono>
#include <cstring>

namespace pelmo {
namespace {

constexpr std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() noexcept {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }

  void compress(std::uint64_t m) noexcept {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

std::uint64_t load_le64(const unsigned char* p) noexcept {
  std::uint64_t word = 0;
  for (int i = 7; i >= 0; --i) word = (word << 8) | p[i];
  return word;
}

HashSeed draw_os_seed() noexcept {
  HashSeed seed;
  unsigned char bytes[16];
  // One call fills the whole buffer or fails: getentropy takes up to 256
  // bytes, waits for the kernel's generator to be ready and retries what a
  // signal interrupts.
  if (getentropy(bytes, sizeof bytes) == 0) {
    seed.k0 = load_le64(bytes);
    seed.k1 = load_le64(bytes + 8);
    return seed;
  }
  // Without the kernel's generator the maps still work; only their order
  // becomes easier to predict.
  auto now =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  seed.k0 = now ^ reinterpret_cast<std::uintptr_t>(&seed);
  seed.k1 = rotl(now, 29) ^ 0x9e3779b97f4a7c15ULL;
  return seed;
}

}  // namespace

std::uint64_t hash_name(std::string_view bytes, HashSeed seed) noexcept {
  SipState s{seed.k0 ^ 0x736f6d6570736575ULL, seed.k1 ^ 0x646f72616e646f6dULL,
             seed.k0 ^ 0x6c7967656e657261ULL, seed.k1 ^ 0x7465646279746573ULL};
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t length = bytes.size() + 1;  // the terminating 0xFF counts
  std::size_t offset = 0;
  for (; offset + 8 <= bytes.size(); offset += 8) s.compress(load_le64(data + offset));

  // Remaining key bytes plus the 0xFF terminator: one to eight bytes.
  unsigned char tail[8] = {};
  std::size_t rest = bytes.size() - offset;
  // An empty view may carry a null pointer, which memcpy must never see.
  if (rest != 0) std::memcpy(tail, data + offset, rest);
  tail[rest] = 0xFF;
  if (rest + 1 == 8) {
    s.compress(load_le64(tail));
    std::memset(tail, 0, sizeof tail);
  }
  s.compress(load_le64(tail) | (static_cast<std::uint64_t>(length & 0xFF) << 56));

  s.v2 ^= 0xFF;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

HashSeed next_map_seed() noexcept {
  [[gnu::tls_model("initial-exec")]] thread_local HashSeed thread_seed = draw_os_seed();
  HashSeed seed = thread_seed;
  ++thread_seed.k0;
  return seed;
}

}  // namespace pelmo

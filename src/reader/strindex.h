// StringIndex: byte strings to dense ids, looked up by string_view so that a
// hit allocates nothing. Ids are given by the caller (usually the size of a
// vector the caller appends to).
//
// Open addressing over (hash, id) pairs with the keys kept beside them; load
// at most one half. Entries are never erased.
//
// Threads: no internal locking; one thread at a time.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace morvex::reader {

// A fast 64-bit hash of a byte string (8 bytes a step, multiply-xorshift).
inline uint64_t hash_bytes(std::string_view s, uint64_t seed = 0) {
  uint64_t h = seed ^ (s.size() * 0x9E3779B97F4A7C15ull);
  const char* p = s.data();
  size_t n = s.size();
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    p += 8;
    n -= 8;
  }
  uint64_t w = 0;
  std::memcpy(&w, p, n);
  h = (h ^ w) * 0xD6E8FEB86659FD93ull;
  h ^= h >> 29;
  h *= 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 32);
}

class StringIndex {
 public:
  static constexpr uint32_t kMissing = UINT32_MAX;

  uint32_t find(std::string_view key) const {
    if (slots_.empty()) return kMissing;
    const uint64_t h = hash_bytes(key);
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.key == kMissing) return kMissing;
      if (s.hash == h && keys_[s.key] == key) return s.id;
    }
  }

  // The key must not be present yet.
  void insert(std::string_view key, uint32_t id) {
    if ((keys_.size() + 1) * 2 > slots_.size()) grow();
    place(hash_bytes(key), static_cast<uint32_t>(keys_.size()), id);
    keys_.emplace_back(key);
  }

  size_t size() const { return keys_.size(); }

 private:
  struct Slot {
    uint64_t hash = 0;
    uint32_t key = kMissing;  // index into keys_
    uint32_t id = 0;
  };

  void place(uint64_t h, uint32_t key, uint32_t id) {
    size_t i = h & mask_;
    while (slots_[i].key != kMissing) i = (i + 1) & mask_;
    slots_[i] = Slot{h, key, id};
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{});
    mask_ = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.key != kMissing) place(s.hash, s.key, s.id);
    }
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  std::vector<std::string> keys_;
};

}  // namespace morvex::reader

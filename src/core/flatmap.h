// FlatMap: an open-addressing hash map from an unsigned integer key (u32 or
// u64) to a value, for the lookups that run once per event.
//
// Power-of-two capacity, linear probing, load kept at or below one half so a
// miss ends after a probe or two. Most maps this serves (templates,
// fragments, sequences, interned names) only grow for the life of their
// owner; erase, which shifts the entries after the hole back so that no
// tombstones slow later probes, serves the code index, which forgets code
// objects as they die.
//
// Every key value is a valid key. The largest key value doubles as the
// empty-slot marker and is therefore kept in a slot of its own beside the
// table.
//
// The seed is mixed into the hash so that maps whose keys an outsider can
// choose (code object addresses) don't share one probe layout between
// processes; pass random_seed() for those, 0 where it does not matter.
//
// Pointers returned by find/try_emplace stay valid until the next insertion.
//
// Threads: no internal locking; one thread at a time.
#pragma once

#include <sys/random.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>

namespace morvex::core {

// A 64-bit value from the operating system's entropy source, or, should that
// be unavailable, from the clock and an address: good enough to decorrelate
// hash layouts, which is all it is used for.
inline uint64_t random_seed() {
  uint64_t seed = 0;
  if (::getentropy(&seed, sizeof seed) != 0) {
    auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    seed = static_cast<uint64_t>(now) ^ reinterpret_cast<uintptr_t>(&seed);
  }
  return seed;
}

template <class K, class V>
class FlatMap {
  static_assert(std::is_same_v<K, uint32_t> || std::is_same_v<K, uint64_t>,
                "FlatMap keys are u32 or u64");

 public:
  explicit FlatMap(uint64_t seed = 0) : seed_(seed) {}

  FlatMap(FlatMap&& other) noexcept { *this = std::move(other); }
  FlatMap& operator=(FlatMap&& other) noexcept {
    if (this != &other) {
      slots_ = std::move(other.slots_);
      mask_ = std::exchange(other.mask_, 0);
      shift_ = std::exchange(other.shift_, 64);
      table_size_ = std::exchange(other.table_size_, 0);
      size_ = std::exchange(other.size_, 0);
      seed_ = other.seed_;
      has_max_ = std::exchange(other.has_max_, false);
      max_value_ = std::move(other.max_value_);
    }
    return *this;
  }
  FlatMap(const FlatMap&) = delete;
  FlatMap& operator=(const FlatMap&) = delete;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Slots in the table; 0 until the first insertion.
  size_t capacity() const { return slots_ ? mask_ + 1 : 0; }
  uint64_t seed() const { return seed_; }

  V* find(K key) {
    if (key == kEmpty) return has_max_ ? &max_value_ : nullptr;
    if (!slots_) return nullptr;
    for (size_t i = home(key);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.key == key) return &s.value;
      if (s.key == kEmpty) return nullptr;
    }
  }
  const V* find(K key) const { return const_cast<FlatMap*>(this)->find(key); }

  bool contains(K key) const { return find(key) != nullptr; }

  // Inserts V(args...) unless the key is present; either way returns the
  // entry and whether it was inserted.
  template <class... Args>
  std::pair<V*, bool> try_emplace(K key, Args&&... args) {
    // Here rather than at class scope, where a nested V may still be incomplete.
    static_assert(std::is_default_constructible_v<V> && std::is_move_assignable_v<V>);
    if (key == kEmpty) {
      if (has_max_) return {&max_value_, false};
      max_value_ = V(std::forward<Args>(args)...);
      has_max_ = true;
      ++size_;
      return {&max_value_, true};
    }
    if (!slots_ || (table_size_ + 1) * 2 > mask_ + 1) grow((mask_ + 1) * 2);
    size_t i = home(key);
    for (; slots_[i].key != kEmpty; i = (i + 1) & mask_) {
      if (slots_[i].key == key) return {&slots_[i].value, false};
    }
    slots_[i].key = key;
    slots_[i].value = V(std::forward<Args>(args)...);
    ++table_size_;
    ++size_;
    return {&slots_[i].value, true};
  }

  // Removes the key; false if it was not there. Pointers to other entries
  // may be invalidated, as by an insertion.
  bool erase(K key) {
    if (key == kEmpty) {
      if (!has_max_) return false;
      has_max_ = false;
      max_value_ = V{};
      --size_;
      return true;
    }
    if (!slots_) return false;
    size_t i = home(key);
    while (slots_[i].key != key) {
      if (slots_[i].key == kEmpty) return false;
      i = (i + 1) & mask_;
    }
    // Backward shift: move up every later entry of the run that the hole
    // would cut off from its home slot.
    for (size_t j = (i + 1) & mask_; slots_[j].key != kEmpty; j = (j + 1) & mask_) {
      size_t h = home(slots_[j].key);
      bool reachable = i <= j ? (h <= i || h > j) : (h <= i && h > j);
      if (!reachable) continue;
      slots_[i] = std::move(slots_[j]);
      i = j;
    }
    slots_[i].key = kEmpty;
    slots_[i].value = V{};
    --table_size_;
    --size_;
    return true;
  }

  // Returns false (and leaves the stored value alone) if the key is present.
  bool insert(K key, V value) { return try_emplace(key, std::move(value)).second; }

  // Makes room for n entries without further growth.
  void reserve(size_t n) {
    size_t want = kMinCapacity;
    while (want < n * 2) want *= 2;
    if (!slots_ || want > mask_ + 1) grow(want);
  }

  // Visits every entry, in no particular order.
  template <class F>
  void for_each(F&& f) {
    if (has_max_) f(kEmpty, max_value_);
    if (!slots_) return;
    for (size_t i = 0; i <= mask_; ++i) {
      if (slots_[i].key != kEmpty) f(slots_[i].key, slots_[i].value);
    }
  }

 private:
  static constexpr K kEmpty = std::numeric_limits<K>::max();
  static constexpr size_t kMinCapacity = 16;

  struct Slot {
    K key = kEmpty;
    V value{};
  };

  size_t home(K key) const {
    // Two multiply-xorshift rounds: cheap, and every key bit reaches the top
    // bits, which are the ones used.
    uint64_t x = (uint64_t{key} ^ seed_) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 32;
    x *= 0xD6E8FEB86659FD93ull;
    return static_cast<size_t>(x >> shift_);
  }

  void grow(size_t new_capacity) {
    if (new_capacity < kMinCapacity) new_capacity = kMinCapacity;
    std::unique_ptr<Slot[]> old = std::move(slots_);
    size_t old_capacity = old ? mask_ + 1 : 0;
    slots_ = std::make_unique<Slot[]>(new_capacity);
    mask_ = new_capacity - 1;
    shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(new_capacity));
    for (size_t j = 0; j < old_capacity; ++j) {
      if (old[j].key == kEmpty) continue;
      size_t i = home(old[j].key);
      while (slots_[i].key != kEmpty) i = (i + 1) & mask_;
      slots_[i].key = old[j].key;
      slots_[i].value = std::move(old[j].value);
    }
  }

  std::unique_ptr<Slot[]> slots_;
  size_t mask_ = 0;
  unsigned shift_ = 64;
  size_t table_size_ = 0;  // entries in slots_, i.e. without the max key
  size_t size_ = 0;
  uint64_t seed_ = 0;
  bool has_max_ = false;
  V max_value_{};
};

}  // namespace morvex::core

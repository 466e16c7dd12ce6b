// A fixed-capacity, wait-free, single-producer single-consumer ring of owned
// pointers. The two ends are separate objects, each kept by one thread; the
// slot storage is shared by both and freed, with any items still queued,
// when both ends are gone.
//
// Indices run over 0 .. 2N-1, so an empty ring (equal indices) and a full one
// (indices N apart) are told apart without a spare slot.
//
// Memory ordering: push writes the slot, then publishes the new tail with a
// release store; pop reads the slot, then publishes the new head with a
// release store. Each end keeps a cached copy of the other end's index and
// reloads it (acquire) only when the cache says full (producer) or empty
// (consumer), which keeps cache-line traffic to one transfer per wrap. A
// producer that goes away says so with a release store; a consumer that
// sees it (acquire) also sees every item pushed before, so it can take the
// rest and let the ring go.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <utility>

namespace morvex::core {

template <class T, size_t N>
class SpscRing {
  static_assert(N > 0);

 public:
  static constexpr size_t kCapacity = N;

  class Producer;
  class Consumer;

  static std::pair<Producer, Consumer> make() {
    auto storage = std::make_shared<Storage>();
    return {Producer(storage), Consumer(storage)};
  }

 private:
  static constexpr size_t kWrap = 2 * N;
  static constexpr size_t slot(size_t i) { return i < N ? i : i - N; }
  static constexpr size_t advance(size_t i) { return i + 1 == kWrap ? 0 : i + 1; }
  static constexpr size_t distance(size_t tail, size_t head) {
    return tail >= head ? tail - head : tail + kWrap - head;
  }

  struct Storage {
    // Separate cache lines: the producer writes tail, the consumer head.
    alignas(64) std::atomic<size_t> tail{0};
    alignas(64) std::atomic<size_t> head{0};
    std::atomic<bool> producer_gone{false};
    alignas(64) T* slots[N] = {};

    ~Storage() {
      size_t h = head.load(std::memory_order_acquire);
      size_t t = tail.load(std::memory_order_acquire);
      for (; h != t; h = advance(h)) delete slots[slot(h)];
    }
  };

 public:
  class Producer {
   public:
    Producer() = default;
    Producer(Producer&&) noexcept = default;
    Producer& operator=(Producer&& other) noexcept {
      if (this != &other) {
        leave();
        s_ = std::move(other.s_);
        tail_ = other.tail_;
        cached_head_ = other.cached_head_;
      }
      return *this;
    }
    ~Producer() { leave(); }

    // On a full ring the item stays with the caller. `spare` slots are
    // kept free for a later push that passes fewer (a last item that must
    // get in where others may be refused).
    [[nodiscard]] bool try_push(std::unique_ptr<T>& item, size_t spare = 0) {
      if (distance(tail_, cached_head_) + spare >= N) {
        cached_head_ = s_->head.load(std::memory_order_acquire);
        if (distance(tail_, cached_head_) + spare >= N) return false;
      }
      s_->slots[slot(tail_)] = item.release();
      tail_ = advance(tail_);
      s_->tail.store(tail_, std::memory_order_release);
      return true;
    }

    explicit operator bool() const { return s_ != nullptr; }

    // Items pushed and not yet taken, as far as the consumer's index says
    // (acquire).
    size_t pending() {
      cached_head_ = s_->head.load(std::memory_order_acquire);
      return distance(tail_, cached_head_);
    }

    // Full as far as the consumer's index last published says (acquire).
    bool full() {
      if (distance(tail_, cached_head_) != N) return false;
      cached_head_ = s_->head.load(std::memory_order_acquire);
      return distance(tail_, cached_head_) == N;
    }

   private:
    friend class SpscRing;
    explicit Producer(std::shared_ptr<Storage> s) : s_(std::move(s)) {}

    void leave() {
      if (s_) s_->producer_gone.store(true, std::memory_order_release);
    }

    std::shared_ptr<Storage> s_;
    size_t tail_ = 0;
    size_t cached_head_ = 0;
  };

  // Move-only: a second copy would be a second consumer of a
  // single-consumer ring.
  class Consumer {
   public:
    Consumer() = default;
    Consumer(Consumer&&) noexcept = default;
    Consumer& operator=(Consumer&&) noexcept = default;
    Consumer(const Consumer&) = delete;
    Consumer& operator=(const Consumer&) = delete;

    // nullptr when the ring is empty.
    std::unique_ptr<T> try_pop() {
      if (head_ == cached_tail_) {
        cached_tail_ = s_->tail.load(std::memory_order_acquire);
        if (head_ == cached_tail_) return nullptr;
      }
      T* item = s_->slots[slot(head_)];
      head_ = advance(head_);
      s_->head.store(head_, std::memory_order_release);
      return std::unique_ptr<T>(item);
    }

    explicit operator bool() const { return s_ != nullptr; }

    // True once the producer is gone; everything it pushed can then be popped.
    bool producer_gone() const { return s_->producer_gone.load(std::memory_order_acquire); }

   private:
    friend class SpscRing;
    explicit Consumer(std::shared_ptr<Storage> s) : s_(std::move(s)) {}

    std::shared_ptr<Storage> s_;
    size_t head_ = 0;
    size_t cached_tail_ = 0;
  };
};

}  // namespace morvex::core

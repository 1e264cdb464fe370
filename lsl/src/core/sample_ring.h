// Encoded samples stored once for every consumer of an outlet. Each
// consumer keeps its own read position (a sequence number); the ring keeps
// at most `capacity` samples and forgets the oldest beyond that. Not
// thread-safe: the outlet guards it with its lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace maroquint::lsl::core {

class SampleRing {
 public:
  static constexpr std::size_t kMaxCapacity = std::size_t{1} << 20;
  static constexpr std::size_t kDefaultMaxBytes = std::size_t{256} << 20;

  // capacity is clamped to 1..kMaxCapacity. The byte store starts small
  // and doubles while it must hold more samples than fit, up to max_bytes;
  // past that the oldest samples go even below `capacity`.
  explicit SampleRing(std::size_t capacity, std::size_t max_bytes = kDefaultMaxBytes);

  // Stores one encoded sample and returns its sequence number. A sample
  // larger than max_bytes is not stored (returns false). Allocates only
  // while the byte store grows.
  bool Push(std::string_view sample);

  uint64_t Head() const { return head_; }  // sequence number of the next push
  uint64_t Tail() const { return tail_; }  // oldest sample still held
  std::size_t Capacity() const { return entries_.size(); }
  std::size_t StoredBytes() const { return static_cast<std::size_t>(byte_head_ - byte_tail_); }

  // Appends samples from sequence number `from` on (from tail() if `from`
  // is older) to `out`, stopping before out would exceed max_bytes (but
  // always taking one sample when out is empty). Returns the sequence
  // number after the last sample appended.
  uint64_t CopyOut(uint64_t from, std::string &out, std::size_t max_bytes) const;

  // Forgets samples before `seq`: nobody will read them.
  void ReleaseBefore(uint64_t seq);

 private:
  struct Entry {
    uint64_t pos = 0;
    std::size_t len = 0;
  };
  void EvictOldest();
  void Grow(std::size_t min_size);
  void WriteBytes(uint64_t pos, const char *data, std::size_t len);
  void ReadBytes(uint64_t pos, char *data, std::size_t len) const;

  std::vector<Entry> entries_;
  std::vector<char> bytes_;
  std::size_t max_bytes_;
  uint64_t head_ = 0;
  uint64_t tail_ = 0;
  uint64_t byte_head_ = 0;
  uint64_t byte_tail_ = 0;
};

}  // namespace maroquint::lsl::core

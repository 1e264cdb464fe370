#include "core/sample_ring.h"

#include <algorithm>
#include <cstring>

namespace maroquint::lsl::core {

SampleRing::SampleRing(std::size_t capacity, std::size_t max_bytes)
    : entries_(std::clamp<std::size_t>(capacity, 1, kMaxCapacity)),
      bytes_(std::min<std::size_t>(std::size_t{64} << 10, std::max<std::size_t>(max_bytes, 1))),
      max_bytes_(std::max<std::size_t>(max_bytes, 1)) {}

bool SampleRing::Push(std::string_view sample) {
  const auto n = sample.size();
  if (n > max_bytes_) return false;
  if (head_ - tail_ == entries_.size()) EvictOldest();
  while (StoredBytes() + n > bytes_.size()) {
    if (bytes_.size() < max_bytes_)
      Grow(StoredBytes() + n);
    else
      EvictOldest();
  }
  WriteBytes(byte_head_, sample.data(), n);
  entries_[head_ % entries_.size()] = Entry{byte_head_, n};
  byte_head_ += n;
  ++head_;
  return true;
}

uint64_t SampleRing::CopyOut(uint64_t from, std::string &out, std::size_t max_bytes) const {
  from = std::max(from, tail_);
  while (from < head_) {
    const auto &e = entries_[from % entries_.size()];
    if (!out.empty() && out.size() + e.len > max_bytes) break;
    const auto at = out.size();
    out.resize(at + e.len);
    ReadBytes(e.pos, &out[at], e.len);
    ++from;
  }
  return from;
}

void SampleRing::ReleaseBefore(uint64_t seq) {
  seq = std::min(seq, head_);
  while (tail_ < seq) EvictOldest();
}

void SampleRing::EvictOldest() {
  if (tail_ == head_) return;
  const auto &e = entries_[tail_ % entries_.size()];
  byte_tail_ = e.pos + e.len;
  ++tail_;
  if (tail_ == head_) byte_tail_ = byte_head_;
}

void SampleRing::Grow(std::size_t min_size) {
  auto size = std::max(bytes_.size(), std::size_t{1});
  while (size < min_size) size *= 2;
  size = std::min(std::max(size, bytes_.size() * 2), max_bytes_);
  std::vector<char> grown(size);
  const auto live = StoredBytes();
  std::vector<char> copy(live);
  ReadBytes(byte_tail_, copy.data(), live);
  bytes_.swap(grown);
  WriteBytes(byte_tail_, copy.data(), live);
}

void SampleRing::WriteBytes(uint64_t pos, const char *data, std::size_t len) {
  const auto size = bytes_.size();
  auto at = static_cast<std::size_t>(pos % size);
  const auto first = std::min(len, size - at);
  if (first) std::memcpy(&bytes_[at], data, first);
  if (len > first) std::memcpy(&bytes_[0], data + first, len - first);
}

void SampleRing::ReadBytes(uint64_t pos, char *data, std::size_t len) const {
  const auto size = bytes_.size();
  auto at = static_cast<std::size_t>(pos % size);
  const auto first = std::min(len, size - at);
  if (first) std::memcpy(data, &bytes_[at], first);
  if (len > first) std::memcpy(data + first, &bytes_[0], len - first);
}

}  // namespace maroquint::lsl::core

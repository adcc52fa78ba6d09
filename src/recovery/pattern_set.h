#pragma once
// A constant list of short byte patterns (two or three bytes each) with a
// lookup built at compile time, so that the first place where any entry matches
// is found in one pass over the bytes, whatever the number of entries.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vidsalvage {

class PatternSet {
 public:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  static constexpr std::size_t kMaxEntries = 128;

  // `table` holds entries of `width` bytes (2 or 3) and ends with a marker entry:
  // the first entry whose byte `marker_index` equals `marker_value`. The entries in
  // front of the marker are the list.
  constexpr PatternSet(std::span<const std::uint8_t> table, std::size_t width,
                       std::size_t marker_index, std::uint8_t marker_value)
      : width_(width) {
    std::size_t count = 0;
    while ((count + 1) * width <= table.size() && count < kMaxEntries &&
           table[count * width + marker_index] != marker_value) {
      ++count;
    }
    entries_ = table.first(count * width);
    for (std::size_t i = 0; i < count; ++i) {
      const std::span<const std::uint8_t> e = entry(i);
      const std::uint32_t head = (std::uint32_t{e[0]} << 8) | e[1];
      heads_[head >> 6] |= std::uint64_t{1} << (head & 63);
      keys_[i] = key_of(e.data());
    }
    // Insertion sort: the lists are short and this runs at compile time.
    for (std::size_t i = 1; i < count; ++i) {
      for (std::size_t j = i; j > 0 && keys_[j - 1] > keys_[j]; --j) {
        const std::uint32_t t = keys_[j];
        keys_[j] = keys_[j - 1];
        keys_[j - 1] = t;
      }
    }
  }

  constexpr std::size_t width() const { return width_; }
  constexpr std::size_t count() const { return entries_.size() / width_; }
  constexpr std::span<const std::uint8_t> entry(std::size_t i) const {
    return entries_.subspan(i * width_, width_);
  }

  // True when some entry equals the `width()` bytes at `at`.
  bool matches_at(const std::uint8_t* at) const {
    const std::uint32_t head = (std::uint32_t{at[0]} << 8) | at[1];
    if (((heads_[head >> 6] >> (head & 63)) & 1) == 0) return false;
    return width_ == 2 || contains_key(key_of(at));
  }

  // The first index p >= from at which an entry matches and ends within `bytes`
  // (p + width() <= bytes.size()), or kNone.
  std::size_t find_first(std::span<const std::uint8_t> bytes, std::size_t from) const {
    if (bytes.size() < width_ || entries_.empty()) return kNone;
    const std::size_t last = bytes.size() - width_;
    const std::uint8_t* const data = bytes.data();
    for (std::size_t p = from; p <= last; ++p) {
      const std::uint32_t head = (std::uint32_t{data[p]} << 8) | data[p + 1];
      if (((heads_[head >> 6] >> (head & 63)) & 1) == 0) continue;
      if (width_ == 2 || contains_key(key_of(data + p))) return p;
    }
    return kNone;
  }

 private:
  constexpr std::uint32_t key_of(const std::uint8_t* at) const {
    std::uint32_t key = 0;
    for (std::size_t k = 0; k < width_; ++k) key = (key << 8) | at[k];
    return key;
  }
  bool contains_key(std::uint32_t key) const {
    std::size_t low = 0;
    std::size_t high = count();
    while (low < high) {
      const std::size_t mid = (low + high) / 2;
      if (keys_[mid] < key) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    return low < count() && keys_[low] == key;
  }

  std::size_t width_;
  std::span<const std::uint8_t> entries_;
  std::array<std::uint64_t, 1024> heads_{};        // 65,536 bits: the first two bytes of an entry
  std::array<std::uint32_t, kMaxEntries> keys_{};  // every entry as a number, ascending
};

}  // namespace vidsalvage

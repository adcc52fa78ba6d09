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
    choose_lead_filter();
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
  std::size_t find_first(std::span<const std::uint8_t> bytes, std::size_t from) const;

 private:
  // The scan first looks for bytes that may begin an entry: bytes b with
  // (b & lead_mask_) equal to one of lead_values_. A mask that ignores some bits
  // (the nal_ref_idc of a NAL header, say) admits a few bytes that begin no
  // entry, which the tables then refuse, but needs fewer values to compare with.
  static constexpr std::size_t kMaxLeadValues = 4;
  static constexpr std::uint8_t kLeadMasks[] = {0xFF, 0xFE, 0x9F};

  constexpr void choose_lead_filter() {
    std::size_t best_cost = static_cast<std::size_t>(-1);
    for (std::uint8_t mask : kLeadMasks) {
      std::array<std::uint8_t, kMaxLeadValues> values{};
      std::size_t value_count = 0;
      for (std::size_t i = 0; i < count() && value_count <= kMaxLeadValues; ++i) {
        const auto v = static_cast<std::uint8_t>(entry(i)[0] & mask);
        bool known = false;
        for (std::size_t j = 0; j < value_count && j < kMaxLeadValues; ++j) known |= values[j] == v;
        if (known) continue;
        if (value_count < kMaxLeadValues) values[value_count] = v;
        ++value_count;
      }
      if (value_count == 0 || value_count > kMaxLeadValues) continue;
      // Each value costs a compare per byte; each admitted byte value a look at
      // the tables now and then. Zero bytes abound in media data.
      std::size_t admitted = 0;
      bool admits_zero = false;
      for (unsigned b = 0; b < 256; ++b) {
        for (std::size_t j = 0; j < value_count; ++j) {
          if ((b & mask) != values[j]) continue;
          ++admitted;
          admits_zero |= b == 0;
        }
      }
      const std::size_t cost = value_count * 8 + admitted + (admits_zero ? 64 : 0);
      if (cost < best_cost) {
        best_cost = cost;
        lead_mask_ = mask;
        lead_values_ = values;
        lead_value_count_ = value_count;
      }
    }
  }
  constexpr std::uint32_t key_of(const std::uint8_t* at) const {
    std::uint32_t key = 0;
    for (std::size_t k = 0; k < width_; ++k) key = (key << 8) | at[k];
    return key;
  }
  bool contains_key(std::uint32_t key) const;
  bool is_lead(std::uint8_t b) const;

  std::size_t width_;
  std::span<const std::uint8_t> entries_;
  std::array<std::uint64_t, 1024> heads_{};        // 65,536 bits: the first two bytes of an entry
  std::array<std::uint32_t, kMaxEntries> keys_{};  // every entry as a number, ascending
  std::uint8_t lead_mask_ = 0;                     // with no values: every byte is a lead
  std::array<std::uint8_t, kMaxLeadValues> lead_values_{};
  std::size_t lead_value_count_ = 0;
};

}  // namespace vidsalvage

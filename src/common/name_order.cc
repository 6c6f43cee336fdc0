#include "common/name_order.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string>

#include "common/code_pages.h"
#include "common/per_thread.h"
#include "common/utf8.h"

namespace tabulon {
namespace {

// A name's units as they are compared, one at a time.
class Units {
 public:
  explicit Units(std::string_view name) : name_(name) {}

  // Stores the next unit in *unit; false at the end of the name.
  bool Next(char16_t* unit) {
    if (low_ != 0) {
      *unit = low_;
      low_ = 0;
      return true;
    }
    if (pos_ >= name_.size()) return false;
    const unsigned char b = static_cast<unsigned char>(name_[pos_]);
    if (b < 0x80) {
      ++pos_;
      *unit = UpperOf(b);
      return true;
    }
    // Two bytes (Cyrillic, Greek, most accented Latin) decoded here: the
    // common case of names that are not ASCII.
    if (b >= 0xC2 && b <= 0xDF && pos_ + 1 < name_.size()) {
      const unsigned char next = static_cast<unsigned char>(name_[pos_ + 1]);
      if ((next & 0xC0) == 0x80) {
        pos_ += 2;
        *unit = UpperOf(static_cast<char16_t>((b & 0x1F) << 6 | (next & 0x3F)));
        return true;
      }
    }
    const char32_t c = NameCharacter(name_, &pos_);
    if (c >= 0x10000) {
      // Surrogates have no uppercase mapping: the pair is taken as it is.
      *unit = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      low_ = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      *unit = UpperOf(static_cast<char16_t>(c));
    }
    return true;
  }

 private:
  std::string_view name_;
  std::size_t pos_ = 0;
  char16_t low_ = 0;  // the second unit of a pair still to come
};

// Writes `unit` as UTF-8 writes a character: one byte for ASCII, at most
// three. Byte order of such keys is unit order, a key that is a prefix of
// another sorts first, and no unit gives a zero byte. Names, mostly ASCII,
// take half the bytes two per unit would.
unsigned char* PutUnit(char16_t unit, unsigned char* out) {
  if (unit < 0x80) {
    *out++ = static_cast<unsigned char>(unit);
  } else if (unit < 0x800) {
    *out++ = static_cast<unsigned char>(0xC0 | unit >> 6);
    *out++ = static_cast<unsigned char>(0x80 | (unit & 0x3F));
  } else {
    *out++ = static_cast<unsigned char>(0xE0 | unit >> 12);
    *out++ = static_cast<unsigned char>(0x80 | (unit >> 6 & 0x3F));
    *out++ = static_cast<unsigned char>(0x80 | (unit & 0x3F));
  }
  return out;
}

// Writes the key of `name`: its units, raised, each written by PutUnit.
unsigned char* PutKey(std::string_view name, unsigned char* out) {
  std::size_t pos = 0;
  while (pos < name.size()) {
    if (pos + 8 <= name.size() &&
        UpperAsciiEight(name.data() + pos, reinterpret_cast<char*>(out))) {
      out += 8;
      pos += 8;
      continue;
    }
    const unsigned char b = static_cast<unsigned char>(name[pos]);
    if (b < 0x80) {
      *out++ = static_cast<unsigned char>(b >= 'a' && b <= 'z' ? b - 0x20 : b);
      ++pos;
      continue;
    }
    // Two bytes (Cyrillic, Greek, most accented Latin) decoded here.
    if (b >= 0xC2 && b <= 0xDF && pos + 1 < name.size()) {
      const unsigned char next = static_cast<unsigned char>(name[pos + 1]);
      if ((next & 0xC0) == 0x80) {
        out = PutUnit(UpperOf(static_cast<char16_t>((b & 0x1F) << 6 |
                                                    (next & 0x3F))),
                      out);
        pos += 2;
        continue;
      }
    }
    const char32_t c = NameCharacter(name, &pos);
    if (c >= 0x10000) {
      // Surrogates have no uppercase mapping: the pair is taken as it is.
      out = PutUnit(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)), out);
      out = PutUnit(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)),
                    out);
    } else {
      out = PutUnit(UpperOf(static_cast<char16_t>(c)), out);
    }
  }
  return out;
}

// One entry's place in the sort: the length of its key (units written by
// PutUnit) and the eight key bytes from the depth being sorted, as one
// number.
struct SortKey {
  std::uint64_t head;
  std::uint32_t index;
  std::uint32_t length;
};

// The eight key bytes from `depth` on, zero past the key's end. The buffer
// holds eight bytes more than the keys, so the load never runs past it.
std::uint64_t HeadAt(const unsigned char* key, std::size_t length,
                     std::size_t depth) {
  if (length <= depth) return 0;
  std::uint64_t head;
  std::memcpy(&head, key + depth, sizeof head);
  if constexpr (std::endian::native == std::endian::little) {
    head = __builtin_bswap64(head);
  }
  const std::size_t left = length - depth;
  return left >= 8 ? head : head & ~(~std::uint64_t{0} >> (8 * left));
}

// Keys still to sort from `depth` on, among keys[first .. last).
struct Range {
  std::size_t first;
  std::size_t last;
  std::size_t depth;
};
[[maybe_unused]] const bool kRangesReadied =
    AddPerThreadReady(&KeptPerThread<std::vector<Range>>::Ready);

// Sorts by eight key bytes at a time, then each run of equal ones by the
// next eight: comparing numbers held in the records spares a cache miss
// into the buffer per comparison, which made a sort of whole keys twice as
// slow on directories whose names share their first units.
void SortKeys(std::vector<SortKey>* keys, const unsigned char* base,
              const std::size_t* offsets, const SearchEntry* entries) {
  KeptPerThread<std::vector<Range>> kept;  // for the next one
  std::vector<Range>& ranges = *kept;
  ranges.clear();
  if (keys->size() > 1) ranges.push_back({0, keys->size(), 0});
  while (!ranges.empty()) {
    const Range r = ranges.back();
    ranges.pop_back();
    SortKey* const first = keys->data() + r.first;
    SortKey* const last = keys->data() + r.last;
    for (SortKey* k = first; k != last; ++k) {
      k->head = HeadAt(base + offsets[k->index], k->length, r.depth);
    }
    std::sort(first, last, [](const SortKey& x, const SortKey& y) {
      return x.head < y.head;
    });
    for (SortKey* run = first; run != last;) {
      SortKey* run_end = run + 1;
      while (run_end != last && run_end->head == run->head) ++run_end;
      if (run_end - run > 1) {
        // Keys that end within these eight bytes (padded with zeros) come
        // first, shorter before longer, equal ones by their names' bytes.
        SortKey* const longer = std::partition(
            run, run_end,
            [&r](const SortKey& k) { return k.length <= r.depth + 8; });
        std::sort(run, longer, [entries](const SortKey& x, const SortKey& y) {
          if (x.length != y.length) return x.length < y.length;
          return entries[x.index].Name < entries[y.index].Name;
        });
        if (run_end - longer > 1) {
          ranges.push_back({static_cast<std::size_t>(longer - keys->data()),
                            static_cast<std::size_t>(run_end - keys->data()),
                            r.depth + 8});
        }
      }
      run = run_end;
    }
  }
}

// The name order's buffers for a directory of a few hundred names, kept by
// each thread for its next directory (small: up to 64 threads keep theirs);
// none where nothing is kept per thread.
constexpr std::size_t kKeptBytes = std::size_t{16} << 10;
struct KeptBuffers {
  std::unique_ptr<unsigned char[]> block;  // kKeptBytes, once first used
  std::vector<SortKey> keys;
};
[[maybe_unused]] const bool kKeptBuffersReadied =
    AddPerThreadReady(&KeptPerThread<KeptBuffers>::Ready);
KeptBuffers* KeptOfThread() {
#if TABULON_KEEP_PER_THREAD
  KeptPerThread<KeptBuffers> kept;
  return &*kept;
#else
  return nullptr;
#endif
}

}  // namespace

char32_t NameCharacter(std::string_view name, std::size_t* pos) {
  char32_t c;
  if (!DecodeUtf8(name, pos, &c)) c = kCp866ToUnicode[c & 0xFF];
  return c;
}

bool NameBefore(std::string_view a, std::string_view b) {
  Units x(a);
  Units y(b);
  for (;;) {
    char16_t u;
    char16_t v;
    const bool more_a = x.Next(&u);
    const bool more_b = y.Next(&v);
    if (!more_a || !more_b) {
      if (more_a != more_b) return more_b;
      return a < b;
    }
    if (u != v) return u < v;
  }
}

std::vector<std::uint32_t> NameOrder(const SearchEntry* entries,
                                     std::size_t count) {
  std::size_t total = 0;
  for (std::size_t i = 0; i < count; ++i) total += entries[i].Name.size();
  // A name byte gives at most three key bytes (a byte that is not UTF-8
  // stands for a character of code page 866; four bytes make two units).
  // The keys' offsets come first in the block, then the keys. Not cleared:
  // the keys fill it from the start, and a head loads at most seven bytes
  // past the last key, which are cleared below. A small directory's block
  // and keys are the thread's, kept for its next directory.
  const std::size_t size = count * sizeof(std::size_t) + 3 * total + 8;
  KeptBuffers* const kept = size <= kKeptBytes ? KeptOfThread() : nullptr;
  std::unique_ptr<unsigned char[]> own_block;
  unsigned char* block;
  if (kept != nullptr) {
    if (!kept->block) kept->block.reset(new unsigned char[kKeptBytes]);
    block = kept->block.get();
  } else {
    own_block.reset(new unsigned char[size]);
    block = own_block.get();
  }
  std::vector<SortKey> own_keys;
  std::vector<SortKey>& keys = kept != nullptr ? kept->keys : own_keys;
  std::size_t* const offsets = reinterpret_cast<std::size_t*>(block);
  unsigned char* const buffer = block + count * sizeof(std::size_t);
  keys.resize(count);
  unsigned char* end = buffer;
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char* const start = end;
    end = PutKey(entries[i].Name, end);
    offsets[i] = static_cast<std::size_t>(start - buffer);
    keys[i] = SortKey{0, static_cast<std::uint32_t>(i),
                      static_cast<std::uint32_t>(end - start)};
  }
  std::memset(end, 0, 8);
  SortKeys(&keys, buffer, offsets, entries);
  std::vector<std::uint32_t> indices(count);
  for (std::size_t i = 0; i < count; ++i) indices[i] = keys[i].index;
  return indices;
}

}  // namespace tabulon

#ifndef TABULON_DESCRIPTIONS_LOOKUP_H_
#define TABULON_DESCRIPTIONS_LOOKUP_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/types.h"
#include "descriptions/description_list.h"

namespace tabulon {

// The key under which the entry `name` (native text: UTF-8, or on POSIX any
// bytes, an invalid byte standing for its code page 866 character) is looked
// up in a list of code page `code`: one byte per character, upper-cased by
// the code page's table (for tUtf8 the name's UTF-8 bytes with a-z and the
// Russian letters raised). nullopt for an empty name or one with a character
// the code page lacks, which no record describes.
std::optional<std::string> DescriptionKey(std::string_view name, TCode code);

// Scans `list` from its first record for one that begins with `key` (built
// by DescriptionKey for the list's Code), comparing the record upper-cased.
// Returns whether one does; *index is its slot, or Count() when none does.
// An empty key matches nothing.
bool FindDescription(const DescriptionList& list, std::string_view key,
                     int* index);

// The description in `record` for a name of `key_length` characters: what
// follows the name, trimmed of bytes 0x20 and below at both ends.
std::string_view DescriptionText(std::string_view record,
                                 std::size_t key_length);

// Answers, for every entry of one directory, which record of its
// description list describes it, with the result of FindDescription but in
// logarithmic time. Built once per directory in O(r log r); the list must
// outlive it and take no more records. `longest_name`, the byte length of
// the longest name to be looked up, lets the index keep only the part of
// each record a key can reach; a longer name is still answered, by a scan.
class DescriptionLookup {
 public:
  explicit DescriptionLookup(
      const DescriptionList& list,
      std::size_t longest_name = static_cast<std::size_t>(-1));

  // The description of the entry `name` (native text, UTF-8 or, on POSIX,
  // any bytes): the rest of the first record in file order that begins with
  // the name written in the list's code page, letter case aside, trimmed of
  // bytes 0x20 and below at both ends. Still in the list's code page.
  // nullopt when no record describes the entry.
  std::optional<std::string_view> DescriptionOf(std::string_view name) const;
  // DescriptionOf for each of `names`, into out[0 .. names.size()): the
  // same answers, sooner for many names, as the records of several are
  // fetched from memory at once.
  void DescriptionsOf(std::span<const std::string_view> names,
                      std::optional<std::string_view>* out) const;

  // The slot of the first record in file order that begins with `key` (as
  // FindDescription takes it), or nullopt when none does.
  // With `near`, the search starts at *near, where the key is likely to
  // sort (keys looked up in about the order of the records), and leaves
  // there where this key sorts.
  std::optional<int> Find(std::string_view key,
                          std::size_t* near = nullptr) const;

 private:
  std::string_view Upper(std::int32_t record) const;
  // The slot that describes `name`, as Find gives it, and the length of
  // the key it was looked up by.
  std::optional<int> Locate(std::string_view name, std::size_t* key_size,
                            std::size_t* near = nullptr) const;

  const DescriptionList& list_;
  // No key is longer than this; the copies below stop there.
  std::size_t longest_key_;
  // Every record upper-cased and cut to longest_key_ bytes, back to back,
  // and where each one starts.
  std::string upper_;
  std::vector<std::size_t> starts_;
  // Record slots ordered by their upper-cased bytes (the records that begin
  // with a key form one run of this order), each with the first 16 bytes of
  // its record, zero-padded, as two big-endian numbers: most comparisons are
  // decided by them alone.
  struct Sorted {
    std::pair<std::uint64_t, std::uint64_t> head;
    std::int32_t slot;
  };
  std::vector<Sorted> sorted_;
  // The smallest slot among sorted_[i .. j): a scan within blocks of
  // kBlock, and over whole blocks two lookups in first_.
  std::int32_t FirstSlot(std::size_t i, std::size_t j) const;

  static constexpr std::size_t kBlock = 32;
  // first_[k][b]: the smallest slot among the blocks b .. b + 2^k of
  // sorted_ (a table over blocks is a 32nd of one over records).
  std::vector<std::vector<std::int32_t>> first_;
};

}  // namespace tabulon

#endif  // TABULON_DESCRIPTIONS_LOOKUP_H_

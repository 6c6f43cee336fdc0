#ifndef TABULON_DESCRIPTIONS_DESCRIPT_ION_H_
#define TABULON_DESCRIPTIONS_DESCRIPT_ION_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/byte_source.h"
#include "common/status.h"
#include "common/types.h"
#include "descriptions/description_list.h"

namespace tabulon {

// The records of one DESCRIPT.ION in file order: an entry name and its
// description (possibly empty) each, with the file's code page.
class DescriptIonRecords {
 public:
  // An empty set with Code tAlt; `free_memory` feeds the guard of Insert
  // as it does for DescriptionList.
  explicit DescriptIonRecords(
      DescriptionList::FreeMemoryFn free_memory = nullptr)
      : list_(std::move(free_memory)) {}

  // Appends a record unless the memory guard of DescriptionList refuses
  // it; returns whether it was taken. `name` must not be empty.
  bool Insert(std::string_view name, std::string_view description);

  int Count() const { return list_.Count(); }
  // Whether the guard refused a record.
  bool Refused() const { return list_.Refused(); }
  // Requires 0 <= index < Count(); the views live as long as the records.
  std::string_view Name(int index) const {
    return list_.At(index).substr(0, name_lengths_[index]);
  }
  std::string_view Description(int index) const {
    return list_.At(index).substr(name_lengths_[index]);
  }

  TCode Code() const { return list_.Code(); }
  void SetCode(TCode code) { list_.SetCode(code); }

 private:
  // Each record as its name followed by its description.
  DescriptionList list_;
  std::vector<std::uint32_t> name_lengths_;
};

// The longest record a DESCRIPT.ION line and its continuations make: the
// rest is dropped before the name is taken.
inline constexpr std::size_t kMaxDescriptIonRecord = 4096;

// Reads a DESCRIPT.ION from `file`, a block at a time, into `records`, in
// file order, until the file ends, a Ctrl-Z is met or the guard refuses a
// record. Lines end in LF, CR LF or CR. A line beginning with a blank or a
// TAB continues the record before it (trimmed, after one blank); empty
// lines are passed over. A record is a name, in quotes or up to the first
// blank or TAB, then after blanks and TABs its description, trailing
// blanks dropped; on each line a byte 0x04 ends the text, and when 0xC2 is
// all that follows it, each `\n` of the description becomes a blank. A
// record is cut at 4,096 bytes (before a UTF-8 character that the cut
// would split). A byte order mark decides the code page (UTF-16 is read as
// its UTF-8 form: tUtf8); without one, strict UTF-8 with a character beyond
// ASCII is tUtf8, else the letters decide as for FILES.BBS. Returns the
// read failure that ended the reading, if any; the records read before it
// stay and Code is set all the same.
Status LoadDescriptIon(ByteSource& file, DescriptIonRecords* records);

// Answers, in O(log r), which record describes an entry: the first in file
// order whose name equals the entry's name written in the records' code
// page, with a-z and the Russian letters in either case. The records must
// outlive it and take no more records.
class DescriptIonLookup {
 public:
  explicit DescriptIonLookup(const DescriptIonRecords& records);

  // The description of the entry `name` (native text: UTF-8, or on POSIX
  // any bytes), still in the records' code page; nullopt when no record
  // describes it. Safe to call from several threads at once.
  std::optional<std::string_view> DescriptionOf(std::string_view name) const;

 private:
  const DescriptIonRecords& records_;
  // Every name upper-cased, back to back, and the slots ordered by it, the
  // first in file order of equal names only.
  std::string upper_;
  struct Sorted {
    std::size_t begin;
    std::uint32_t length;
    std::int32_t slot;
  };
  std::vector<Sorted> sorted_;
};

}  // namespace tabulon

#endif  // TABULON_DESCRIPTIONS_DESCRIPT_ION_H_

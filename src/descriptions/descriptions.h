#ifndef TABULON_DESCRIPTIONS_DESCRIPTIONS_H_
#define TABULON_DESCRIPTIONS_DESCRIPTIONS_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "common/byte_source.h"
#include "common/status.h"
#include "common/types.h"
#include "descriptions/description_list.h"

namespace tabulon {

class DescriptIonLookup;
class DescriptIonRecords;
class DescriptionLookup;

// The two kinds of description file a directory may have.
enum class DescriptionFormat { kFilesBbs, kDescriptIon };

// The descriptions of one directory, from its FILES.BBS or DESCRIPT.ION:
// loaded, then indexed, then looked up. Empty (every entry undescribed,
// code tAlt) until loaded, and for a directory without a description file.
// Movable.
class DirectoryDescriptions {
 public:
  // `free_memory` feeds the memory guard that refuses records and ends the
  // reading when memory runs short; without one the guard never refuses.
  explicit DirectoryDescriptions(
      DescriptionList::FreeMemoryFn free_memory = nullptr);
  ~DirectoryDescriptions();
  DirectoryDescriptions(DirectoryDescriptions&&) noexcept;
  DirectoryDescriptions& operator=(DirectoryDescriptions&&) noexcept;

  // Reads `file`, the directory's description file of `format`, a block at
  // a time (LoadFilesBbs or LoadDescriptIon), in place of what an earlier
  // load gave. Returns the read failure that ended the reading, if any: what
  // was read before it is kept. It may run before the names it is to
  // describe are known.
  Status LoadDescriptions(DescriptionFormat format, ByteSource& file);

  // Makes what was loaded ready to be looked up, for names of up to
  // `longest_name` bytes (a longer one is still answered, more slowly).
  void Index(std::size_t longest_name);

  // The description of the entry `name` (native text: UTF-8, on POSIX any
  // bytes), still in code(); nullopt when no record describes it. O(log r);
  // safe to call from several threads at once.
  std::optional<std::string_view> Of(std::string_view name) const;
  // Of for each of `names`, into out[0 .. names.size()); for many names
  // sooner than one by one.
  void Of(std::span<const std::string_view> names,
          std::optional<std::string_view>* out) const;

  // The code page of the descriptions.
  TCode code() const;
  // Whether the memory guard ended the reading before the file's end: the
  // records read before stay.
  bool cut_short() const;

 private:
  DescriptionList::FreeMemoryFn free_memory_;
  std::unique_ptr<DescriptionList> files_bbs_;
  std::unique_ptr<DescriptionLookup> files_bbs_lookup_;
  std::unique_ptr<DescriptIonRecords> descript_ion_;
  std::unique_ptr<DescriptIonLookup> descript_ion_lookup_;
};

}  // namespace tabulon

#endif  // TABULON_DESCRIPTIONS_DESCRIPTIONS_H_

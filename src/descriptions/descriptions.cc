#include "descriptions/descriptions.h"

#include <utility>

#include "descriptions/descript_ion.h"
#include "descriptions/loader.h"
#include "descriptions/lookup.h"

namespace tabulon {

DirectoryDescriptions::DirectoryDescriptions(
    DescriptionList::FreeMemoryFn free_memory)
    : free_memory_(std::move(free_memory)) {}

DirectoryDescriptions::~DirectoryDescriptions() = default;
DirectoryDescriptions::DirectoryDescriptions(DirectoryDescriptions&&) noexcept =
    default;
DirectoryDescriptions& DirectoryDescriptions::operator=(
    DirectoryDescriptions&&) noexcept = default;

Status DirectoryDescriptions::Load(DescriptionFormat format, ByteSource& file,
                                   std::size_t longest_name) {
  files_bbs_lookup_.reset();
  files_bbs_.reset();
  descript_ion_lookup_.reset();
  descript_ion_.reset();
  Status status;
  if (format == DescriptionFormat::kFilesBbs) {
    files_bbs_ = std::make_unique<DescriptionList>(free_memory_);
    status = LoadDescriptions(file, files_bbs_.get());
    files_bbs_lookup_ =
        std::make_unique<DescriptionLookup>(*files_bbs_, longest_name);
  } else {
    descript_ion_ = std::make_unique<DescriptIonRecords>(free_memory_);
    status = LoadDescriptIon(file, descript_ion_.get());
    descript_ion_lookup_ = std::make_unique<DescriptIonLookup>(*descript_ion_);
  }
  return status;
}

std::optional<std::string_view> DirectoryDescriptions::Of(
    std::string_view name) const {
  if (files_bbs_lookup_) return files_bbs_lookup_->DescriptionOf(name);
  if (descript_ion_lookup_) return descript_ion_lookup_->DescriptionOf(name);
  return std::nullopt;
}

TCode DirectoryDescriptions::code() const {
  if (files_bbs_) return files_bbs_->Code();
  if (descript_ion_) return descript_ion_->Code();
  return tAlt;
}

}  // namespace tabulon

#include "descriptions/descriptions.h"

#include <utility>

#include "descriptions/descript_ion.h"
#include "descriptions/files_bbs.h"
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

Status DirectoryDescriptions::LoadDescriptions(DescriptionFormat format,
                                               ByteSource& file) {
  files_bbs_lookup_.reset();
  files_bbs_.reset();
  descript_ion_lookup_.reset();
  descript_ion_.reset();
  if (format == DescriptionFormat::kFilesBbs) {
    files_bbs_ = std::make_unique<DescriptionList>(free_memory_);
    return LoadFilesBbs(file, files_bbs_.get());
  }
  descript_ion_ = std::make_unique<DescriptIonRecords>(free_memory_);
  return LoadDescriptIon(file, descript_ion_.get());
}

void DirectoryDescriptions::Index(std::size_t longest_name) {
  if (files_bbs_) {
    files_bbs_lookup_ =
        std::make_unique<DescriptionLookup>(*files_bbs_, longest_name);
  } else if (descript_ion_) {
    descript_ion_lookup_ = std::make_unique<DescriptIonLookup>(*descript_ion_);
  }
}

std::optional<std::string_view> DirectoryDescriptions::Of(
    std::string_view name) const {
  if (files_bbs_lookup_) return files_bbs_lookup_->DescriptionOf(name);
  if (descript_ion_lookup_) return descript_ion_lookup_->DescriptionOf(name);
  return std::nullopt;
}

void DirectoryDescriptions::Of(std::span<const std::string_view> names,
                               std::optional<std::string_view>* out) const {
  if (files_bbs_lookup_) {
    files_bbs_lookup_->DescriptionsOf(names, out);
    return;
  }
  for (std::size_t i = 0; i < names.size(); ++i) out[i] = Of(names[i]);
}

bool DirectoryDescriptions::cut_short() const {
  if (files_bbs_) return files_bbs_->Refused();
  return descript_ion_ && descript_ion_->Refused();
}

TCode DirectoryDescriptions::code() const {
  if (files_bbs_) return files_bbs_->Code();
  if (descript_ion_) return descript_ion_->Code();
  return tAlt;
}

}  // namespace tabulon

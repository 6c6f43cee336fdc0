#include "driver/place.h"

#include "common/chain_release.h"
#include "html/page.h"
#include "html/text.h"

namespace tabulon {

std::shared_ptr<const Place> Place::Start(std::string path, char separator,
                                          std::string link, TCharset charset) {
  std::shared_ptr<Place> place(new Place());
  place->name_ = std::move(path);
  place->separator_ = separator;
  place->link_ = std::move(link);
  place->charset_ = charset;
  return place;
}

std::shared_ptr<const Place> Place::Below(std::shared_ptr<const Place> parent,
                                          std::string name) {
  std::shared_ptr<Place> place(new Place());
  place->depth_ = parent->depth_ + 1;
  place->parent_ = std::move(parent);
  place->name_ = std::move(name);
  return place;
}

Place::~Place() { ReleaseChain(std::move(parent_), &Place::parent_); }

std::vector<const Place*> Place::Chain() const {
  std::size_t depth = depth_ + 1;
  std::vector<const Place*> chain(depth);
  for (const Place* p = this; p != nullptr; p = p->parent_.get()) {
    chain[--depth] = p;
  }
  return chain;
}

std::string Place::Path() const {
  const std::vector<const Place*> chain = Chain();
  const char separator = chain.front()->separator_;
  std::string path = chain.front()->name_;
  for (std::size_t i = 1; i < chain.size(); ++i) {
    path.append(chain[i]->name_).push_back(separator);
  }
  return path;
}

std::string Place::Title() const {
  if (IsStart()) return DirectoryTitle(name_, separator_);
  return name_;
}

std::string Place::Relative() const {
  const std::vector<const Place*> chain = Chain();
  std::string relative;
  for (std::size_t i = 1; i < chain.size(); ++i) {
    relative.append(chain[i]->name_).push_back('/');
  }
  return relative;
}

std::string Place::Link() const {
  const std::vector<const Place*> chain = Chain();
  std::string link = chain.front()->link_;
  for (std::size_t i = 1; i < chain.size(); ++i) {
    AppendLinkName(chain[i]->name_, link.empty() ? kLinkBegins : kLinkInside,
                   chain.front()->charset_, &link);
    link.push_back('/');
  }
  return link;
}

std::vector<std::string_view> Place::Names() const {
  const std::vector<const Place*> chain = Chain();
  std::vector<std::string_view> names;
  for (std::size_t i = 1; i < chain.size(); ++i)
    names.push_back(chain[i]->name_);
  return names;
}

}  // namespace tabulon

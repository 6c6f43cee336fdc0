#include "driver/tree_order.h"

#include <new>
#include <utility>

namespace tabulon {

// An item and where it stands.
struct TreeOrder::Node {
  std::unique_ptr<TreeItem> item;
  enum class State { kWaiting, kMaking, kMade } state = State::kWaiting;
  std::list<Node*>::iterator pending;  // until made
  std::vector<std::unique_ptr<Node>> followers;
  std::size_t bytes = 0;
};

struct TreeOrder::Frame {
  std::unique_ptr<Node> node;
  std::size_t next = 0;  // the next follower to take
  bool handed_on = false;
};

TreeOrder::Outcome::Outcome() = default;
TreeOrder::Outcome::Outcome(Outcome&&) noexcept = default;
TreeOrder::Outcome::~Outcome() = default;

TreeOrder::TreeOrder(std::unique_ptr<TreeItem> first, ReadAheadBudget budget)
    : budget_(budget) {
  stack_.push_back(Frame{std::make_unique<Node>()});
  stack_.back().node->item = std::move(first);
  stack_.back().node->pending =
      pending_.insert(pending_.end(), stack_.back().node.get());
}

TreeOrder::~TreeOrder() = default;

TreeItem& TreeOrder::ItemOf(Node& node) { return *node.item; }

TreeOrder::Node* TreeOrder::Next() {
  while (!stack_.empty()) {
    Frame& top = stack_.back();
    Node* const node = top.node.get();
    if (!top.handed_on) {
      top.handed_on = true;
      return node;
    }
    if (top.next == node->followers.size()) {
      stack_.pop_back();
      continue;
    }
    std::unique_ptr<Node>& follower = node->followers[top.next++];
    // With nothing left to follow it, the item need not stay: a chain of
    // any length keeps a stack of one. Otherwise the frame is made before
    // the follower leaves its item: a follower that a thread may be making
    // must not go with a failure to grow the stack.
    if (top.next == node->followers.size()) {
      std::unique_ptr<Node> last = std::move(follower);
      stack_.pop_back();
      stack_.push_back(Frame{std::move(last)});  // in the room just freed
    } else {
      stack_.emplace_back();
      stack_.back().node = std::move(follower);
    }
  }
  return nullptr;
}

TreeOrder::Outcome TreeOrder::Make(Node& node, int thread) {
  Outcome outcome;
  try {
    TreeItem::Made made = node.item->Make(thread);
    outcome.bytes = made.bytes;
    outcome.short_of_room = made.short_of_room;
    outcome.followers.reserve(made.followers.size());
    for (std::unique_ptr<TreeItem>& item : made.followers) {
      outcome.followers.push_back(std::make_unique<Node>());
      outcome.followers.back()->item = std::move(item);
      outcome.followers.back()->pending = outcome.places.insert(
          outcome.places.end(), outcome.followers.back().get());
    }
  } catch (const std::bad_alloc&) {
    outcome.error = std::current_exception();
    outcome.short_of_room = true;
    outcome.followers.clear();
    outcome.places.clear();
  } catch (...) {
    outcome.error = std::current_exception();
    outcome.followers.clear();
    outcome.places.clear();
  }
  return outcome;
}

TreeOrder::Node* TreeOrder::TakeNext() {
  if (stopped_ || error_) return nullptr;
  for (Node* node : pending_) {
    if (node->state != Node::State::kWaiting) continue;
    if (node != awaited_ &&
        (ahead_ >= budget_.items || bytes_ >= budget_.bytes)) {
      held_back_ = true;
      return nullptr;
    }
    node->state = Node::State::kMaking;
    ++ahead_;
    ++making_;
    return node;
  }
  return nullptr;
}

bool TreeOrder::Take(Node* node) {
  if (node->state != Node::State::kWaiting) return false;
  node->state = Node::State::kMaking;
  ++ahead_;
  ++making_;
  return true;
}

bool TreeOrder::WorkWaits() const {
  return !stopped_ && !error_ && ahead_ < budget_.items &&
         bytes_ < budget_.bytes && pending_.size() > making_;
}

bool TreeOrder::IsMade(const Node* node) const {
  return node->state == Node::State::kMade;
}

bool TreeOrder::PutBack(Node* node) {
  if (stopped_ || !node->item->CanMakeAgain()) return false;
  node->state = Node::State::kWaiting;
  --ahead_;
  --making_;
  return true;
}

bool TreeOrder::Settle(Node* node, Outcome&& outcome) {
  // Its followers take its place in the order.
  pending_.splice(node->pending, outcome.places);
  pending_.erase(node->pending);
  node->followers = std::move(outcome.followers);
  node->bytes = outcome.bytes;
  node->state = Node::State::kMade;
  bytes_ += outcome.bytes;
  --making_;
  if (outcome.error && !error_) error_ = outcome.error;
  return node == awaited_ || error_ || stopped_;
}

std::size_t TreeOrder::FollowersOf(const Node* node) const {
  return node->followers.size();
}

bool TreeOrder::HandedOn(Node* node) {
  --ahead_;
  bytes_ -= node->bytes;
  const bool held_back = held_back_;
  held_back_ = false;
  return held_back;
}

}  // namespace tabulon

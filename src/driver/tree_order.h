#ifndef TABULON_DRIVER_TREE_ORDER_H_
#define TABULON_DRIVER_TREE_ORDER_H_

#include <cstddef>
#include <exception>
#include <list>
#include <memory>
#include <vector>

namespace tabulon {

// One item of a tree that WorkPool::RunInOrder makes and hands on.
class TreeItem {
 public:
  virtual ~TreeItem() = default;
  struct Made {
    // The items that come right after this one, in their order.
    std::vector<std::unique_ptr<TreeItem>> followers;
    // What the item holds until handed on, for the budget.
    std::size_t bytes = 0;
    // Something failed for lack of room (open files, memory), which fewer
    // threads at once may not meet.
    bool short_of_room = false;
  };
  // Called on any of the pool's threads; `thread` (0 the caller's, up to
  // threads() - 1) says which: no two calls run at once on one. Called
  // again, with fewer threads at work, when it was short of room (or threw
  // std::bad_alloc) while other threads worked and CanMakeAgain: the item
  // is made as one thread alone would make it.
  virtual Made Make(int thread) = 0;
  // Whether Make may be called again: false once it has handed on what
  // can't be taken back.
  virtual bool CanMakeAgain() const { return true; }
};

// How far the items may be made ahead of handing them on: items made and
// not handed on yet, and the bytes they hold. The item handed on next is
// made whatever these say.
struct ReadAheadBudget {
  std::size_t items = 256;
  std::size_t bytes = std::size_t{8} << 20;
};

// The order of one RunInOrder: which item is handed on next (pre-order: an
// item, then each of its followers with everything that follows it), which
// may be made now (the first ones waiting, within the budget) and what each
// one made left. It knows no threads: the calls marked "locked" are made
// under the lock of the pool, the rest by the thread that hands on alone.
class TreeOrder {
 public:
  struct Node;
  // What making an item gave, put together outside the lock so that
  // settling it under the lock cannot fail for lack of memory (where a
  // thread has no one to throw to).
  struct Outcome {
    Outcome();
    Outcome(Outcome&&) noexcept;
    ~Outcome();
    std::vector<std::unique_ptr<Node>> followers;
    std::list<Node*> places;  // of the followers in the order
    std::size_t bytes = 0;
    bool short_of_room = false;  // also when Make threw std::bad_alloc
    std::exception_ptr error;
  };

  TreeOrder(std::unique_ptr<TreeItem> first, ReadAheadBudget budget);
  // Only once no thread makes an item of it (Stop, then making() == 0).
  ~TreeOrder();
  TreeOrder(const TreeOrder&) = delete;
  TreeOrder& operator=(const TreeOrder&) = delete;

  // The item to hand on next, once the one returned before has been;
  // nullptr when every one has been. Frees what is handed on as it goes: a
  // chain of any length keeps a stack of one.
  Node* Next();
  static TreeItem& ItemOf(Node& node);
  // Makes the item of `node` on `thread`; outside the lock.
  static Outcome Make(Node& node, int thread);

  // Locked. The first item waiting to be made that the budget allows (the
  // awaited one whatever it says), counted as being made from then on.
  Node* TakeNext();
  // Locked. Takes `node` to be made when it waits.
  bool Take(Node* node);
  // Locked. Whether TakeNext would give an item.
  bool WorkWaits() const;
  // Locked. Which item the hand-on waits for (nullptr: none).
  void Await(Node* node) { awaited_ = node; }
  bool IsMade(const Node* node) const;
  // Locked. Whether the item of `node`, short of room, may be made again;
  // if so, it waits again to be made.
  bool PutBack(Node* node);
  // Locked. Settles what making `node` gave: its followers take its place
  // in the order. Returns whether the hand-on may have to be woken.
  bool Settle(Node* node, Outcome&& outcome);
  // Locked. The followers `node` got.
  std::size_t FollowersOf(const Node* node) const;
  // Locked. `node` was handed on: its bytes leave the budget. Returns
  // whether an item was held back by the budget since the last time.
  bool HandedOn(Node* node);
  // Locked. No item is taken to be made from now on.
  void Stop() { stopped_ = true; }
  std::size_t making() const { return making_; }
  // Locked. The first exception of a Make, if any.
  const std::exception_ptr& error() const { return error_; }

 private:
  struct Frame;

  ReadAheadBudget budget_;
  // The items waiting or being made, in the order they are handed on.
  std::list<Node*> pending_;
  std::size_t ahead_ = 0;  // being made, or made and not handed on
  std::size_t bytes_ = 0;  // what those made hold
  Node* awaited_ = nullptr;
  std::size_t making_ = 0;
  bool held_back_ = false;  // the budget kept an item from being made
  bool stopped_ = false;
  std::exception_ptr error_;
  // The way down to the item handed on last; its own.
  std::vector<Frame> stack_;
};

}  // namespace tabulon

#endif  // TABULON_DRIVER_TREE_ORDER_H_

// The runtime's map of local user endpoints, entity id to a shared, mutex-guarded slot, behind a
// reader-writer lock. Threads look a slot up or copy a snapshot under the read lock and work on
// the slots after releasing it, so no thread holds the map lock while it holds a slot's lock.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "foundation/guarded.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::dcps {

template <typename Slot>
class SlotMap {
 public:
  using SharedSlot = std::shared_ptr<Guarded<Slot>>;
  using Entry = std::pair<rtps::EntityId, SharedSlot>;

  // Every slot at one moment, shared: walking thousands of slots every tick copies none of them.
  class Snapshot {
   public:
    explicit Snapshot(std::shared_ptr<const std::vector<Entry>> entries)
        : entries_(std::move(entries)) {}
    auto begin() const { return entries_->begin(); }
    auto end() const { return entries_->end(); }
    std::size_t size() const { return entries_->size(); }

   private:
    std::shared_ptr<const std::vector<Entry>> entries_;
  };

  // False when the map is poisoned; nothing is inserted then.
  bool insert(const rtps::EntityId& id, SharedSlot slot) {
    std::unique_lock lock(mutex_);
    if (poisoned_) return false;
    slots_.insert_or_assign(id, std::move(slot));
    // Slots are added rarely and walked every tick: the walk's copy is made here, once.
    snapshot_ = std::make_shared<const std::vector<Entry>>(slots_.begin(), slots_.end());
    return true;
  }

  // Null when absent or when the map is poisoned.
  SharedSlot find(const rtps::EntityId& id) const {
    std::shared_lock lock(mutex_);
    if (poisoned_) return nullptr;
    auto it = slots_.find(id);
    return it == slots_.end() ? nullptr : it->second;
  }

  // In entity-id order; empty when poisoned.
  Snapshot snapshot() const {
    std::shared_lock lock(mutex_);
    if (poisoned_) return Snapshot(std::make_shared<const std::vector<Entry>>());
    return Snapshot(snapshot_);
  }

  // What an exception under the write lock leaves behind; lets tests exercise that path.
  void poison() {
    std::unique_lock lock(mutex_);
    poisoned_ = true;
  }

 private:
  mutable std::shared_mutex mutex_;
  bool poisoned_ = false;                       // guarded by mutex_
  std::map<rtps::EntityId, SharedSlot> slots_;  // guarded by mutex_
  std::shared_ptr<const std::vector<Entry>> snapshot_ =
      std::make_shared<const std::vector<Entry>>();  // guarded by mutex_
};

}  // namespace nimbrel::dcps

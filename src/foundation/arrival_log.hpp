// A bounded log of arrivals, numbered without gaps, for a consumer that polls with the last
// number it saw. When the oldest entries were dropped before it came, it is told that it missed
// some, and looks at everything instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

namespace nimbrel {

template <typename T>
class ArrivalLog {
 public:
  struct Since {
    std::uint64_t generation = 0;  // to ask with next time
    std::vector<T> items{};
    bool missed = false;
  };

  explicit ArrivalLog(std::size_t capacity) : capacity_(capacity) {}

  void add(T item) {
    entries_.emplace_back(++generation_, std::move(item));
    if (entries_.size() > capacity_) entries_.pop_front();
  }

  // What arrived after `generation` (0 at first).
  Since since(std::uint64_t generation) const {
    Since out{.generation = generation_, .items = {}, .missed = false};
    out.missed =
        generation < generation_ && (entries_.empty() || entries_.front().first > generation + 1);
    for (const auto& [at, item] : entries_) {
      if (at > generation) out.items.push_back(item);
    }
    return out;
  }

 private:
  std::size_t capacity_;
  std::uint64_t generation_ = 0;
  std::deque<std::pair<std::uint64_t, T>> entries_;
};

}  // namespace nimbrel

#include "dcps/builtin/ignore_filter.hpp"

namespace nimbrel::dcps {

IgnoreFilter::HandleSet& IgnoreFilter::set(IgnoredKind kind) const {
  switch (kind) {
    case IgnoredKind::Participant:
      return participants_;
    case IgnoredKind::Topic:
      return topics_;
    case IgnoredKind::Publication:
      return publications_;
    case IgnoredKind::Subscription:
      break;
  }
  return subscriptions_;
}

bool IgnoreFilter::ignore(IgnoredKind kind, InstanceHandle handle) {
  auto handles = set(kind).lock();
  if (!handles) return false;
  (*handles)->insert(handle);
  return true;
}

bool IgnoreFilter::is_ignored(IgnoredKind kind, InstanceHandle handle) const {
  auto handles = set(kind).lock();
  return handles && (*handles)->contains(handle);
}

void IgnoreFilter::poison(IgnoredKind kind) {
  set(kind).poison();
}

}  // namespace nimbrel::dcps

// The participant's ignore filter: instance handles of participants, topics, publications and
// subscriptions the application asked to ignore. Builtin-topic delivery consults it; the runtime
// holds it in shared ownership. Each set has its own lock, and a poisoned set ignores nothing.
#pragma once

#include <set>

#include "discovery/instance_handle.hpp"
#include "foundation/guarded.hpp"

namespace nimbrel::dcps {

using discovery::InstanceHandle;

enum class IgnoredKind { Participant, Topic, Publication, Subscription };

class IgnoreFilter {
 public:
  // False when the set is poisoned and the handle could not be recorded.
  bool ignore(IgnoredKind kind, InstanceHandle handle);
  // False for a handle not in the set, and for any handle while the set is poisoned.
  bool is_ignored(IgnoredKind kind, InstanceHandle handle) const;
  // What an exception inside a set's lock leaves behind; lets callers exercise that path.
  void poison(IgnoredKind kind);

  bool ignore_participant(InstanceHandle h) { return ignore(IgnoredKind::Participant, h); }
  bool ignore_topic(InstanceHandle h) { return ignore(IgnoredKind::Topic, h); }
  bool ignore_publication(InstanceHandle h) { return ignore(IgnoredKind::Publication, h); }
  bool ignore_subscription(InstanceHandle h) { return ignore(IgnoredKind::Subscription, h); }
  bool is_participant_ignored(InstanceHandle h) const {
    return is_ignored(IgnoredKind::Participant, h);
  }
  bool is_topic_ignored(InstanceHandle h) const { return is_ignored(IgnoredKind::Topic, h); }
  bool is_publication_ignored(InstanceHandle h) const {
    return is_ignored(IgnoredKind::Publication, h);
  }
  bool is_subscription_ignored(InstanceHandle h) const {
    return is_ignored(IgnoredKind::Subscription, h);
  }

 private:
  using HandleSet = Guarded<std::set<InstanceHandle>>;
  HandleSet& set(IgnoredKind kind) const;

  // Each: inserted by API callers, read by nbrl-recv-meta during builtin-topic delivery. Mutable
  // because a lookup must lock.
  mutable HandleSet participants_;
  mutable HandleSet topics_;
  mutable HandleSet publications_;
  mutable HandleSet subscriptions_;
};

}  // namespace nimbrel::dcps

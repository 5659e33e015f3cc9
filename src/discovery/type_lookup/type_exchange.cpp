#include "discovery/type_lookup/type_exchange.hpp"

#include <algorithm>
#include <utility>

#include "foundation/hex.hpp"
#include "types/resolve.hpp"
#include "types/type_information.hpp"
#include "types/type_object_xcdr2.hpp"

namespace nimbrel::discovery {
namespace {

namespace ids = rtps::entity_ids;
using types::TypeIdentifier;

constexpr std::uint8_t ek_minimal = 0xf1;
constexpr std::uint8_t ek_complete = 0xf2;
constexpr std::size_t max_dependencies_answered = 256;

// Cyclone writes the target participant here; replies do not depend on it.
std::string instance_name(const rtps::GuidPrefix& replier) {
  return "dds.builtin.TOS." + to_hex(replier) + "000001c1";
}

// A type object in the older parameter's form as the standard XCDR2 bytes it is held in.
std::optional<TypeEntry> standard_entry(std::span<const std::byte> parameter) {
  const auto object = types::decode_fastdds_type_object(parameter);
  if (!object) return std::nullopt;
  auto bytes = types::encode_xcdr2(*object);
  if (!bytes) return std::nullopt;
  auto id = types::type_identifier_of_xcdr2(*bytes);
  if (!id) return std::nullopt;
  return TypeEntry{std::move(*id), std::move(*bytes)};
}

}  // namespace

TypeExchange::TypeExchange(const rtps::GuidPrefix& own, TypeExchangeSettings settings)
    : own_(own), settings_(settings), arrivals_(settings.max_arrivals) {
  settings_.max_pending = std::max<std::size_t>(settings_.max_pending, 1);
  settings_.max_ids_per_request = std::max<std::size_t>(settings_.max_ids_per_request, 1);
  settings_.max_attempts = std::max(settings_.max_attempts, 1u);
}

std::optional<TypeExchange::HashKey> TypeExchange::key_of(const TypeIdentifier& id) {
  if (const auto* minimal = std::get_if<TypeIdentifier::EquivalenceHashMinimal>(&id.value))
    return HashKey{ek_minimal, minimal->hash};
  if (const auto* complete = std::get_if<TypeIdentifier::EquivalenceHashComplete>(&id.value))
    return HashKey{ek_complete, complete->hash};
  return std::nullopt;
}

TypeIdentifier TypeExchange::identifier(const HashKey& key) {
  if (key.kind == ek_minimal) return TypeIdentifier::EquivalenceHashMinimal{key.hash};
  return TypeIdentifier::EquivalenceHashComplete{key.hash};
}

bool TypeExchange::hashes_to(const HashKey& key, std::span<const std::byte> bytes) {
  return types::xcdr2_matches_identifier(bytes, identifier(key));
}

std::vector<TypeExchange::HashKey> TypeExchange::references_of(const HashKey& key,
                                                               std::span<const std::byte> bytes) {
  // An object that does not decode still hashes right: it is kept and served as it is.
  const auto object = types::decode_xcdr2(bytes);
  if (!object) return {};
  const auto hashes = std::visit(
      [](const auto& form) { return types::collect_referenced_hashes(form); }, object->value);
  std::vector<HashKey> keys;
  if (!hashes) return keys;
  for (const auto& hash : *hashes) {
    if (hash != key.hash) keys.push_back({key.kind, hash});
  }
  return keys;
}

bool TypeExchange::hold(const HashKey& key, std::vector<std::byte> bytes) {
  if (held_.contains(key)) return true;
  if (held_.size() >= settings_.max_types) {
    ++counters_.refused;
    return false;
  }
  auto references = references_of(key, bytes);
  held_.emplace(key, Held{std::move(bytes), std::move(references)});
  return true;
}

void TypeExchange::record_dependencies(const HashKey& top, std::span<const HashKey> dependencies) {
  if (dependencies_.size() >= settings_.max_types && !dependencies_.contains(top)) return;
  dependencies_[top].assign(dependencies.begin(), dependencies.end());
}

std::vector<OutgoingRequest> TypeExchange::on_publication(
    const rtps::PublicationBuiltinTopicData& publication, Elapsed now) {
  // Fast DDS 2.x sends the whole object and answers no request. It names the type by a hash of its
  // own form; the standard form's identifier is the one the object is held and served under.
  if (publication.type_object) {
    if (auto entry = standard_entry(*publication.type_object)) {
      if (!add_types(std::span(&*entry, 1))) return {};
      return want_writer_type(publication.endpoint_guid, publication.type_name, entry->type_id, {},
                              now);
    }
    ++counters_.undecodable;
  }
  if (!publication.type_information) return {};
  // Standard peers send it in the parameter list's order, which is little-endian in practice.
  const auto information =
      types::decode_type_information(*publication.type_information, /*little_endian=*/true);
  if (!information) {
    ++counters_.undecodable;
    return {};
  }
  const auto& form = key_of(information->complete.typeid_with_size.type_id) ? information->complete
                                                                            : information->minimal;
  const TypeIdentifier& top = form.typeid_with_size.type_id;
  std::vector<TypeIdentifier> dependencies;
  for (const auto& dependency : form.dependent_typeids)
    dependencies.push_back(dependency.type_id);
  return want_writer_type(publication.endpoint_guid, publication.type_name, top, dependencies, now);
}

std::vector<OutgoingRequest> TypeExchange::want_writer_type(
    const rtps::Guid& writer, std::string type_name, const TypeIdentifier& type_id,
    std::span<const TypeIdentifier> dependencies, Elapsed now) {
  const auto top = key_of(type_id);
  if (!top) return {};
  if (const auto known = writers_.find(writer);
      known != writers_.end() && known->second.top == *top)
    return ask_wanted(now);  // announced again
  if (!writers_.contains(writer) && writers_.size() >= settings_.max_writers) {
    ++counters_.refused;
    return {};
  }
  WriterRecord record{.type_name = std::move(type_name), .top = *top, .closure = {*top}};
  for (const auto& dependency : dependencies) {
    if (auto key = key_of(dependency); key && *key != *top) record.closure.push_back(*key);
  }
  record_dependencies(*top, std::span(record.closure).subspan(1));
  for (const auto& key : record.closure) {
    failed_.erase(key);
    if (!held_.contains(key) && !in_flight_.contains(key)) wanted_.try_emplace(key, writer.prefix);
  }
  writers_.insert_or_assign(writer, std::move(record));
  update_writers();
  return ask_wanted(now);
}

void TypeExchange::forget_writers(std::span<const rtps::Guid> writers) {
  for (const auto& writer : writers)
    writers_.erase(writer);
}

void TypeExchange::forget_participants(const std::set<rtps::GuidPrefix>& gone) {
  std::erase_if(writers_, [&](const auto& entry) { return gone.contains(entry.first.prefix); });
  std::erase_if(wanted_, [&](const auto& entry) { return gone.contains(entry.second); });
  std::erase_if(pending_, [&](const auto& entry) {
    if (!gone.contains(entry.second.replier)) return false;
    for (const auto& key : entry.second.ids)
      in_flight_.erase(key);
    return true;
  });
}

bool TypeExchange::add_types(std::span<const TypeEntry> closure) {
  std::vector<HashKey> keys;
  for (const auto& entry : closure) {
    const auto key = key_of(entry.type_id);
    if (!key || !hashes_to(*key, entry.type_object)) {
      ++counters_.bad_hash;
      return false;
    }
    keys.push_back(*key);
  }
  bool all = true;
  for (std::size_t i = 0; i < closure.size(); ++i)
    all = hold(keys[i], closure[i].type_object) && all;
  if (!keys.empty()) record_dependencies(keys[0], std::span(keys).subspan(1));
  update_writers();
  return all;
}

OutgoingRequest TypeExchange::send(Pending pending, Elapsed now) {
  const std::int64_t sn = next_sn_++;
  rpc::GetTypesIn call;
  for (const auto& key : pending.ids)
    call.type_ids.push_back(identifier(key));
  const rpc::Request request{
      .request_id = {.writer_guid = {own_, ids::type_lookup_request_writer}, .sequence_number = sn},
      .instance_name = instance_name(pending.replier),
      .call = std::move(call)};
  OutgoingRequest out{.replier = pending.replier, .sequence_number = sn, .payload = {}};
  // Hash identifiers under the caps always encode.
  if (auto payload = rpc::encode_payload(request)) out.payload = std::move(*payload);
  ++pending.attempts;
  pending.deadline = now + settings_.timeout;
  pending_.emplace(sn, std::move(pending));
  ++counters_.requests_sent;
  return out;
}

std::vector<OutgoingRequest> TypeExchange::ask_wanted(Elapsed now) {
  std::vector<OutgoingRequest> out;
  while (!wanted_.empty() && pending_.size() < settings_.max_pending) {
    const rtps::GuidPrefix replier = wanted_.begin()->second;
    Pending pending{.replier = replier, .ids = {}, .deadline = now, .attempts = 0};
    for (auto it = wanted_.begin();
         it != wanted_.end() && pending.ids.size() < settings_.max_ids_per_request;) {
      if (it->second != replier) {
        ++it;
        continue;
      }
      pending.ids.push_back(it->first);
      in_flight_.insert(it->first);
      it = wanted_.erase(it);
    }
    out.push_back(send(std::move(pending), now));
  }
  return out;
}

std::vector<OutgoingRequest> TypeExchange::on_reply(const rtps::GuidPrefix& source,
                                                    const rpc::Reply& reply, Elapsed now) {
  auto it = pending_.find(reply.related_request.sequence_number);
  if (it == pending_.end() || it->second.replier != source) {
    ++counters_.unmatched_replies;
    return {};
  }
  ++counters_.replies;
  const Pending pending = std::move(it->second);
  pending_.erase(it);
  const std::set<HashKey> asked(pending.ids.begin(), pending.ids.end());
  std::set<HashKey> returned;
  const auto* out = std::get_if<rpc::GetTypesOut>(&reply.result);
  if (out != nullptr && reply.remote_ex == rpc::remote_ex_ok && reply.retcode == rpc::retcode_ok) {
    for (const auto& pair : out->types) {
      const auto key = key_of(pair.type_id);
      if (!key || !asked.contains(*key) || !returned.insert(*key).second) continue;
      if (!hashes_to(*key, pair.type_object)) {
        ++counters_.bad_hash;
        continue;
      }
      hold(*key, pair.type_object);
    }
  }
  std::vector<HashKey> missing;
  for (const auto& key : pending.ids) {
    in_flight_.erase(key);
    if (!returned.contains(key)) ++counters_.unknown;
    if (!held_.contains(key)) missing.push_back(key);
  }
  give_up(missing);
  update_writers();
  return ask_wanted(now);
}

void TypeExchange::abandon(std::int64_t sequence_number) {
  auto node = pending_.extract(sequence_number);
  if (node.empty()) return;
  counters_.failed += node.mapped().ids.size();
  give_up(node.mapped().ids);
  update_writers();
}

void TypeExchange::give_up(std::span<const HashKey> keys) {
  if (failed_.size() + keys.size() > settings_.max_types) failed_.clear();
  for (const auto& key : keys) {
    in_flight_.erase(key);
    failed_.insert(key);
  }
}

std::vector<OutgoingRequest> TypeExchange::expire(Elapsed now) {
  std::vector<OutgoingRequest> out;
  std::vector<std::int64_t> due;
  for (const auto& [sn, pending] : pending_) {
    if (pending.deadline <= now) due.push_back(sn);
  }
  for (const auto sn : due) {
    auto node = pending_.extract(sn);
    ++counters_.timed_out;
    Pending& pending = node.mapped();
    if (pending.attempts < settings_.max_attempts) {
      out.push_back(send(std::move(pending), now));
      continue;
    }
    counters_.failed += pending.ids.size();
    give_up(pending.ids);
  }
  if (!due.empty()) update_writers();
  auto more = ask_wanted(now);
  out.insert(out.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
  return out;
}

rpc::Reply TypeExchange::answer(const rpc::Request& request) {
  ++counters_.requests_answered;
  rpc::Reply reply{// As Cyclone does: its own reply writer, and the request's number echoed.
                   .related_request = {.writer_guid = {own_, ids::type_lookup_reply_writer},
                                       .sequence_number = request.request_id.sequence_number},
                   .remote_ex = rpc::remote_ex_ok,
                   .retcode = rpc::retcode_ok,
                   .result = rpc::GetTypesOut{}};
  std::set<HashKey> seen;
  if (const auto* get_types = std::get_if<rpc::GetTypesIn>(&request.call)) {
    rpc::GetTypesOut out;
    std::size_t budget = settings_.max_reply_bytes;
    for (const auto& id : get_types->type_ids) {
      const auto key = key_of(id);
      if (!key || !seen.insert(*key).second) continue;
      const auto held = held_.find(*key);
      // An identifier, its padding and the object.
      if (held == held_.end() || held->second.bytes.size() + 20 > budget) continue;
      budget -= held->second.bytes.size() + 20;
      out.types.push_back({.type_id = id, .type_object = held->second.bytes});
    }
    reply.result = std::move(out);
    return reply;
  }
  rpc::GetTypeDependenciesOut out;
  for (const auto& id : std::get<rpc::GetTypeDependenciesIn>(request.call).type_ids) {
    const auto key = key_of(id);
    if (!key) continue;
    const auto found = dependencies_.find(*key);
    if (found == dependencies_.end()) continue;
    for (const auto& dependency : found->second) {
      if (out.dependent_typeids.size() >= max_dependencies_answered) break;
      if (!seen.insert(dependency).second) continue;
      const auto held = held_.find(dependency);
      out.dependent_typeids.push_back(
          {.type_id = identifier(dependency),
           .typeobject_serialized_size =
               held == held_.end() ? 0 : static_cast<std::uint32_t>(held->second.bytes.size())});
    }
  }
  reply.result = std::move(out);
  return reply;
}

void TypeExchange::update_writers() {
  for (auto& [guid, record] : writers_) {
    if (record.complete) continue;
    // What the held objects of the closure refer to joins it, and is wanted when missing. The
    // closure grows as it is walked; its cap bounds the walk.
    bool all_held = true;
    for (std::size_t i = 0; i < record.closure.size(); ++i) {
      const HashKey key = record.closure[i];
      const auto held = held_.find(key);
      if (held == held_.end()) {
        all_held = false;
        if (!in_flight_.contains(key) && !failed_.contains(key))
          wanted_.try_emplace(key, guid.prefix);
        continue;
      }
      for (const auto& reference : held->second.references) {
        if (record.closure.size() >= settings_.max_closure) break;
        if (std::ranges::find(record.closure, reference) == record.closure.end())
          record.closure.push_back(reference);
      }
    }
    if (!all_held) continue;
    record.complete = true;
    arrivals_.add(guid);
  }
}

std::optional<WriterType> TypeExchange::writer_type(const rtps::Guid& writer) const {
  const auto it = writers_.find(writer);
  if (it == writers_.end() || !it->second.complete) return std::nullopt;
  WriterType type{
      .type_id = identifier(it->second.top), .type_name = it->second.type_name, .objects = {}};
  for (const auto& key : it->second.closure) {
    const auto held = held_.find(key);
    if (held == held_.end()) return std::nullopt;
    type.objects.push_back({.type_id = identifier(key), .type_object = held->second.bytes});
  }
  return type;
}

TypeState TypeExchange::type_state(const rtps::Guid& writer) const {
  const auto it = writers_.find(writer);
  if (it == writers_.end()) return TypeState::None;
  if (it->second.complete) return TypeState::Known;
  const bool coming = std::ranges::any_of(it->second.closure, [&](const HashKey& key) {
    return wanted_.contains(key) || in_flight_.contains(key);
  });
  return coming ? TypeState::Pending : TypeState::Failed;
}

TypeArrivals TypeExchange::arrivals_since(std::uint64_t generation) const {
  return arrivals_.since(generation);
}

}  // namespace nimbrel::discovery

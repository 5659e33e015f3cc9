#include "rtps/participant_data.hpp"

#include <utility>

#include "rtps/endpoint_parameters.hpp"
#include "rtps/publication_data.hpp"

namespace nimbrel::rtps {

namespace {

// Values longer than a 16-bit parameter length can frame are left out rather than failing the
// whole announcement.
void push_if_fits(ParameterList& list, std::uint16_t id, std::vector<std::byte> value) {
  if (value.size() > ParameterList::max_value_length) return;
  list.push(Parameter{id, std::move(value)});
}

template <std::size_t N>
void push_u32_array(ParameterList& list, std::uint16_t id, const std::array<std::uint32_t, N>& v) {
  Parameter p{id, {}};
  WireWriter w(p.value, /*little_endian=*/true);
  for (const auto word : v)
    w.write_u32(word);
  list.push(std::move(p));
}

template <std::size_t N>
std::optional<std::array<std::uint32_t, N>> read_u32_array(const Parameter* p, bool le) {
  if (p == nullptr || p->value.size() < 4 * N) return std::nullopt;
  auto r = p->reader(le);
  std::array<std::uint32_t, N> out{};
  for (auto& word : out) {
    auto read = r.read_u32();
    if (!read) return std::nullopt;
    word = *read;
  }
  return out;
}

std::optional<std::vector<std::byte>> raw_value(const Parameter* p) {
  if (p == nullptr) return std::nullopt;
  return p->value;
}

// Exactly 4 bytes, as DOMAIN_ID and BUILTIN_ENDPOINT_SET are taken.
std::optional<std::uint32_t> exact_u32(const Parameter* p, bool le) {
  if (p == nullptr || p->value.size() != 4) return std::nullopt;
  return p->read_u32(le);
}

std::optional<Locator> le_locator(const Parameter* p, bool le) {
  if (p == nullptr || !le) return std::nullopt;
  return p->read_locator(le);
}

}  // namespace

CodecResult<void> PlCdrPayload::encode(WireWriter& writer) const {
  WireWriter w = writer.with_byte_order(little_endian);
  w.write_bytes(std::span(little_endian ? encapsulation::pl_cdr_le : encapsulation::pl_cdr_be));
  w.write_u16(0);
  return parameters.encode(w);
}

CodecResult<PlCdrPayload> PlCdrPayload::decode(WireReader& r) {
  const std::size_t start = r.position();
  if (!r.has(4)) return std::unexpected(CodecError::eof(4, start));
  std::array<std::uint8_t, 2> id{};
  NIMBREL_READ_OR_RETURN(id, r.read_array<2>());
  if (id != encapsulation::pl_cdr_le && id != encapsulation::pl_cdr_be) {
    return std::unexpected(unsupported_encapsulation(id, start));
  }
  r.seek(start + 4);
  const bool le = id == encapsulation::pl_cdr_le;
  WireReader list_reader = r.rest(le);
  auto list = ParameterList::decode(list_reader);
  if (!list) return std::unexpected(list.error());
  r.seek(r.position() + list_reader.position());
  return PlCdrPayload{std::move(*list), le};
}

void ParticipantBuiltinTopicData::encode(WireWriter& writer) const {
  ParameterList list;
  const std::uint8_t version[] = {protocol_version.major, protocol_version.minor, 0, 0};
  list.push(pid::protocol_version, std::as_bytes(std::span(version)));
  const std::uint8_t vendor[] = {vendor_id[0], vendor_id[1], 0, 0};
  list.push(pid::vendor_id, std::as_bytes(std::span(vendor)));
  list.push_guid(pid::participant_guid, participant_guid);
  const std::pair<std::uint16_t, const std::optional<Locator>*> locators[] = {
      {pid::default_unicast_locator, &default_unicast_locator},
      {pid::default_multicast_locator, &default_multicast_locator},
      {pid::metatraffic_unicast_locator, &metatraffic_unicast_locator},
      {pid::metatraffic_multicast_locator, &metatraffic_multicast_locator},
  };
  for (const auto& [id, locator] : locators) {
    if (locator->has_value()) list.push_locator(id, **locator, /*little_endian=*/true);
  }
  if (domain_id) list.push_u32(pid::domain_id, *domain_id, /*little_endian=*/true);
  list.push_u32(pid::builtin_endpoint_set, builtin_endpoint_set, /*little_endian=*/true);
  list.push_duration(pid::participant_lease_duration, lease_duration, /*little_endian=*/true);
  if (!user_data.empty()) {
    std::vector<std::byte> encoded;
    WireWriter w(encoded, /*little_endian=*/true);
    if (write_octet_seq(w, user_data)) push_if_fits(list, pid::user_data, std::move(encoded));
  }
  // Decoded for what other participants announce: a record read back must encode to itself.
  if (entity_name) {
    std::vector<std::byte> encoded;
    WireWriter w(encoded, /*little_endian=*/true);
    if (w.write_cdr_string(*entity_name)) push_if_fits(list, pid::entity_name, std::move(encoded));
  }
  const std::pair<std::uint16_t, const std::optional<std::vector<std::byte>>*> tokens[] = {
      {pid::identity_token, &identity_token},
      {pid::permissions_token, &permissions_token},
      {pid::identity_status_token, &identity_status_token},
  };
  for (const auto& [id, token] : tokens) {
    if (token->has_value()) push_if_fits(list, id, **token);
  }
  if (digital_signature_algorithm_info) {
    push_u32_array(list, pid::participant_security_digital_signature_algo,
                   *digital_signature_algorithm_info);
  }
  if (key_establishment_algorithm_info) {
    push_u32_array(list, pid::participant_security_key_establishment_algo,
                   *key_establishment_algorithm_info);
  }
  if (symmetric_cipher_algorithm_info) {
    push_u32_array(list, pid::participant_security_symmetric_cipher_algo,
                   *symmetric_cipher_algorithm_info);
  }
  if (!properties.properties.empty()) {
    if (auto encoded = encode_bytes(properties, /*little_endian=*/true)) {
      push_if_fits(list, pid::property_list, std::move(*encoded));
    }
  }
  // Every value was checked against the 16-bit length above, so framing cannot fail.
  (void)PlCdrPayload{std::move(list)}.encode(writer);
}

CodecResult<ParticipantBuiltinTopicData> ParticipantBuiltinTopicData::decode(WireReader& reader) {
  auto parsed = PlCdrPayload::decode(reader);
  if (!parsed) return std::unexpected(parsed.error());
  const ParameterList& list = parsed->parameters;
  const bool le = parsed->little_endian;

  const Parameter* guid_parameter = list.find(pid::participant_guid);
  const auto guid = guid_parameter != nullptr ? guid_parameter->read_guid() : std::nullopt;
  if (!guid) {
    return std::unexpected(CodecError::malformed("PARTICIPANT_GUID missing or wrong length"));
  }
  ParticipantBuiltinTopicData data;
  data.participant_guid = *guid;

  if (const auto* p = list.find(pid::protocol_version); p != nullptr && p->value.size() >= 2) {
    data.protocol_version = {std::to_integer<std::uint8_t>(p->value[0]),
                             std::to_integer<std::uint8_t>(p->value[1])};
  }
  if (const auto* p = list.find(pid::vendor_id); p != nullptr && p->value.size() >= 2) {
    data.vendor_id = {std::to_integer<std::uint8_t>(p->value[0]),
                      std::to_integer<std::uint8_t>(p->value[1])};
  }
  data.default_unicast_locator = le_locator(list.find(pid::default_unicast_locator), le);
  data.default_multicast_locator = le_locator(list.find(pid::default_multicast_locator), le);
  data.metatraffic_unicast_locator = le_locator(list.find(pid::metatraffic_unicast_locator), le);
  data.metatraffic_multicast_locator =
      le_locator(list.find(pid::metatraffic_multicast_locator), le);
  data.domain_id = exact_u32(list.find(pid::domain_id), le);
  data.builtin_endpoint_set = exact_u32(list.find(pid::builtin_endpoint_set), le).value_or(0);
  if (const auto* p = list.find(pid::participant_lease_duration); p && p->value.size() == 8) {
    if (const auto lease = p->read_duration(le)) data.lease_duration = *lease;
  }
  if (const auto* p = list.find(pid::user_data)) {
    auto r = p->reader(le);
    data.user_data = read_octet_seq(r).value_or(std::vector<std::byte>{});
  }
  if (const auto* p = list.find(pid::entity_name)) {
    auto r = p->reader(le);
    if (auto name = r.read_cdr_string()) data.entity_name = std::move(*name);
  }
  if (const auto* p = list.find(pid::property_list)) {
    auto r = p->reader(le);
    data.properties = WirePropertyList::decode(r).value_or(WirePropertyList{});
  }
  data.identity_token = raw_value(list.find(pid::identity_token));
  data.permissions_token = raw_value(list.find(pid::permissions_token));
  data.identity_status_token = raw_value(list.find(pid::identity_status_token));
  data.digital_signature_algorithm_info =
      read_u32_array<4>(list.find(pid::participant_security_digital_signature_algo), le);
  data.key_establishment_algorithm_info =
      read_u32_array<2>(list.find(pid::participant_security_key_establishment_algo), le);
  data.symmetric_cipher_algorithm_info =
      read_u32_array<4>(list.find(pid::participant_security_symmetric_cipher_algo), le);
  return data;
}

}  // namespace nimbrel::rtps

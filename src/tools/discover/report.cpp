#include "tools/discover/report.hpp"

#include <sstream>
#include <string_view>

#include "cdr/buffer.hpp"
#include "tools/common/json.hpp"
#include "tools/common/qos_names.hpp"

namespace nimbrel::discover {
namespace {

using tools::durability_name;
using tools::reliability_name;
using tools::vendor_text;

template <typename T, typename Fn>
void json_list(std::ostringstream& out, const T& items, Fn&& item) {
  out << '[';
  bool first = true;
  for (const auto& each : items) {
    if (!first) out << ',';
    first = false;
    item(each);
  }
  out << ']';
}

void json_endpoint(std::ostringstream& out, const EndpointView& endpoint) {
  out << "{\"guid\":" << tools::json_string(rtps::to_string(endpoint.guid))
      << ",\"participant\":" << tools::json_string(rtps::to_string(endpoint.participant))
      << ",\"type_name\":" << tools::json_string(endpoint.type_name) << ",\"reliability\":\""
      << reliability_name(endpoint.reliability) << '"' << ",\"durability\":\""
      << durability_name(endpoint.durability) << '"'
      << ",\"keyed\":" << (endpoint.keyed() ? "true" : "false") << ",\"partitions\":";
  json_list(out, endpoint.partitions, [&](const std::string& p) { out << tools::json_string(p); });
  out << '}';
}

void text_endpoints(std::ostringstream& out, const char* role,
                    const std::vector<EndpointView>& endpoints) {
  for (const auto& endpoint : endpoints) {
    out << "    " << role << ' ' << rtps::to_string(endpoint.guid) << "  "
        << reliability_name(endpoint.reliability) << ", " << durability_name(endpoint.durability)
        << ", " << (endpoint.keyed() ? "keyed" : "keyless");
    if (!endpoint.partitions.empty()) {
      out << ", partitions";
      for (const auto& partition : endpoint.partitions)
        out << ' ' << tools::json_string(partition);
    }
    out << '\n';
  }
}

}  // namespace

std::string user_data_text(const std::vector<std::byte>& bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return tools::to_hex(bytes);
  }
  if (!cdr::is_valid_utf8(bytes)) return tools::to_hex(bytes);
  return std::string(text);
}

std::string render_text(const DomainView& view, std::uint32_t domain) {
  std::ostringstream out;
  out << "domain " << domain << ": " << view.participants.size() << " participants, "
      << view.topics.size() << " topics\n";
  for (const auto& participant : view.participants) {
    out << "participant " << rtps::to_string(participant.guid) << "  vendor "
        << vendor_text(participant.vendor);
    if (const auto name = vendor_name(participant.vendor); !name.empty())
      out << " (" << name << ')';
    out << '\n';
    if (!participant.name.empty())
      out << "    name " << tools::json_string(participant.name) << '\n';
    if (!participant.user_data.empty())
      out << "    user data " << user_data_text(participant.user_data) << '\n';
    for (const auto& locator : participant.locators)
      out << "    locator " << rtps::to_string(locator) << '\n';
  }
  for (const auto& [name, topic] : view.topics) {
    out << "topic " << name << "  type";
    for (const auto& type : topic.type_names)
      out << ' ' << type;
    out << "  (" << topic.writers.size() << " writers, " << topic.readers.size() << " readers)\n";
    text_endpoints(out, "writer", topic.writers);
    text_endpoints(out, "reader", topic.readers);
    for (const auto& type : topic.types) {
      out << "    type " << type.type_identifier;
      if (type.idl.empty()) {
        out << ": " << type.error << '\n';
        continue;
      }
      out << " as IDL:\n";
      std::istringstream lines(type.idl);
      for (std::string line; std::getline(lines, line);)
        out << "      " << line << '\n';
    }
  }
  return out.str();
}

std::string render_json(const DomainView& view, std::uint32_t domain, bool with_types) {
  std::ostringstream out;
  out << "{\"domain\":" << domain << ",\"participants\":";
  json_list(out, view.participants, [&](const ParticipantView& participant) {
    out << "{\"guid\":" << tools::json_string(rtps::to_string(participant.guid)) << ",\"vendor\":\""
        << vendor_text(participant.vendor)
        << "\",\"vendor_name\":" << tools::json_string(vendor_name(participant.vendor))
        << ",\"name\":" << tools::json_string(participant.name)
        << ",\"user_data\":" << tools::json_string(user_data_text(participant.user_data))
        << ",\"locators\":";
    json_list(out, participant.locators,
              [&](const rtps::Locator& l) { out << tools::json_string(rtps::to_string(l)); });
    out << '}';
  });
  out << ",\"topics\":";
  json_list(out, view.topics, [&](const auto& entry) {
    const auto& [name, topic] = entry;
    out << "{\"name\":" << tools::json_string(name) << ",\"type_names\":";
    json_list(out, topic.type_names, [&](const std::string& t) { out << tools::json_string(t); });
    out << ",\"writers\":";
    json_list(out, topic.writers, [&](const EndpointView& e) { json_endpoint(out, e); });
    out << ",\"readers\":";
    json_list(out, topic.readers, [&](const EndpointView& e) { json_endpoint(out, e); });
    if (with_types) {
      out << ",\"types\":";
      json_list(out, topic.types, [&](const tools::TypeSchema& t) {
        out << "{\"identifier\":\"" << t.type_identifier
            << "\",\"name\":" << tools::json_string(t.name)
            << ",\"idl\":" << (t.idl.empty() ? "null" : tools::json_string(t.idl))
            << ",\"error\":" << (t.error.empty() ? "null" : tools::json_string(t.error)) << '}';
      });
    }
    out << '}';
  });
  out << "}\n";
  return out.str();
}

}  // namespace nimbrel::discover

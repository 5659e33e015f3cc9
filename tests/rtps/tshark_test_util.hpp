// Helpers for checking datagrams against tshark: `PcapWriter` frames UDP/IPv4 datagrams into a
// classic libpcap file (linktype 101, raw IPv4) that tshark reads offline, `parse_pdml` turns
// `tshark -T pdml` output into a tree of named fields. The frames are synthesized, never
// captured: no socket or interface is involved.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrel::rtps::testing {

using Ipv4 = std::array<std::uint8_t, 4>;

class PcapWriter {
 public:
  // Magic (microsecond time stamps), version 2.4, thiszone, sigfigs, snaplen, linktype raw IPv4.
  PcapWriter() { put_le32(file_, {0xA1B2C3D4, 0x00040002, 0, 0, 65535, 101}); }

  // One IPv4/UDP packet carrying `payload`; returns its 1-based frame number.
  std::size_t add_udp(Ipv4 src, std::uint16_t src_port, Ipv4 dst, std::uint16_t dst_port,
                      std::span<const std::byte> payload) {
    const bool multicast = (dst[0] & 0xF0) == 0xE0;
    const auto udp_length = static_cast<std::uint16_t>(8 + payload.size());
    std::vector<std::uint8_t> packet;
    // Version 4 with 5 header words, DSCP/ECN, length, identification, don't fragment, TTL,
    // protocol UDP, header checksum (patched below), addresses; then the UDP header, whose
    // checksum 0 means none.
    put_be16(packet, {0x4500, static_cast<std::uint16_t>(20 + udp_length),
                      static_cast<std::uint16_t>(frames_ + 1), 0x4000,
                      static_cast<std::uint16_t>((multicast ? 1 : 64) << 8 | 17), 0});
    packet.insert(packet.end(), src.begin(), src.end());
    packet.insert(packet.end(), dst.begin(), dst.end());
    const std::uint16_t sum = checksum(packet);
    packet[10] = static_cast<std::uint8_t>(sum >> 8);
    packet[11] = static_cast<std::uint8_t>(sum & 0xFF);
    put_be16(packet, {src_port, dst_port, udp_length, 0});
    for (std::byte b : payload)
      packet.push_back(std::to_integer<std::uint8_t>(b));

    ++frames_;
    const auto length = static_cast<std::uint32_t>(packet.size());
    // Seconds, microseconds, captured and original length.
    put_le32(file_, {static_cast<std::uint32_t>(1'700'000'000 + frames_), 0, length, length});
    file_.insert(file_.end(), packet.begin(), packet.end());
    return frames_;
  }

  bool save(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file_.data()),
              static_cast<std::streamsize>(file_.size()));
    return static_cast<bool>(out);
  }

 private:
  static void put_be16(std::vector<std::uint8_t>& out, std::initializer_list<std::uint16_t> vs) {
    for (std::uint16_t v : vs) {
      out.push_back(static_cast<std::uint8_t>(v >> 8));
      out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    }
  }
  static void put_le32(std::vector<std::uint8_t>& out, std::initializer_list<std::uint32_t> vs) {
    for (std::uint32_t v : vs) {
      for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
  }
  // Internet checksum (RFC 1071) of the IPv4 header.
  static std::uint16_t checksum(std::span<const std::uint8_t> header) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < header.size(); i += 2)
      sum += static_cast<std::uint32_t>(header[i] << 8 | header[i + 1]);
    while (sum >> 16 != 0)
      sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
  }

  std::vector<std::uint8_t> file_;
  std::size_t frames_ = 0;
};

// The tree tshark prints, reduced to what assertions read.
struct Node {
  std::string tag{};  // packet, proto or field
  std::string name{};
  std::string showname{};
  std::string show{};
  std::string value{};
  std::vector<Node> children{};

  // First node of that name at or below this one, depth first.
  const Node* find(std::string_view wanted) const {
    if (name == wanted) return this;
    for (const auto& child : children)
      if (const Node* hit = child.find(wanted)) return hit;
    return nullptr;
  }
  std::vector<const Node*> find_all(std::string_view wanted) const {
    std::vector<const Node*> out;
    if (name == wanted) out.push_back(this);
    for (const auto& child : children) {
      const auto below = child.find_all(wanted);
      out.insert(out.end(), below.begin(), below.end());
    }
    return out;
  }
  // An attribute of the first node of that name, or a marker that cannot equal a real value.
  std::string attribute_of(std::string_view wanted, std::string Node::*attribute) const {
    const Node* hit = find(wanted);
    return hit ? hit->*attribute : "<missing " + std::string(wanted) + ">";
  }
  std::string show_of(std::string_view wanted) const { return attribute_of(wanted, &Node::show); }
  std::string value_of(std::string_view wanted) const { return attribute_of(wanted, &Node::value); }
  // The child with this `show` text (tshark's unnamed grouping nodes, e.g. "readerSNState").
  const Node* child_shown(std::string_view text) const {
    for (const auto& child : children)
      if (child.show == text) return &child;
    return nullptr;
  }
};

inline std::string xml_unescape(std::string_view in) {
  static const std::map<std::string, char, std::less<>> named{
      {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
  std::string out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    const std::size_t semi = in[i] == '&' ? in.find(';', i) : std::string_view::npos;
    if (semi == std::string_view::npos) {
      out.push_back(in[i]);
      continue;
    }
    const std::string_view entity = in.substr(i + 1, semi - i - 1);
    if (auto it = named.find(entity); it != named.end()) {
      out.push_back(it->second);
    } else if (entity.starts_with("#")) {
      const bool hex = entity.starts_with("#x");
      out.push_back(static_cast<char>(
          std::stoi(std::string(entity.substr(hex ? 2 : 1)), nullptr, hex ? 16 : 10)));
    } else {
      out.append(in.substr(i, semi - i + 1));
    }
    i = semi;
  }
  return out;
}

// One node per <packet>, <proto> and <field>; everything else is skipped. tshark escapes '<'
// and '>' inside attribute values, so a tag ends at the next '>'.
inline std::vector<Node> parse_pdml(std::string_view pdml) {
  std::vector<Node> packets;
  std::vector<Node*> open;
  std::size_t pos = 0;
  while ((pos = pdml.find('<', pos)) != std::string_view::npos) {
    const std::size_t end = pdml.find('>', pos);
    if (end == std::string_view::npos) break;
    std::string_view tag = pdml.substr(pos + 1, end - pos - 1);
    pos = end + 1;
    if (tag.starts_with('/')) {
      if (!open.empty() && open.back()->tag == tag.substr(1)) open.pop_back();
      continue;
    }
    const bool self_closing = tag.ends_with('/');
    if (self_closing) tag.remove_suffix(1);
    const std::string_view element = tag.substr(0, tag.find(' '));
    if (element != "packet" && element != "proto" && element != "field") continue;

    Node node{.tag = std::string(element)};
    // Attributes: key="value" pairs separated by spaces.
    const std::map<std::string_view, std::string*> wanted{{"name", &node.name},
                                                          {"showname", &node.showname},
                                                          {"show", &node.show},
                                                          {"value", &node.value}};
    std::size_t a = element.size();
    while ((a = tag.find('=', a)) != std::string_view::npos) {
      const std::size_t key_start = tag.rfind(' ', a) + 1;
      const std::size_t value_end = tag.find('"', a + 2);
      if (value_end == std::string_view::npos) break;
      if (auto it = wanted.find(tag.substr(key_start, a - key_start)); it != wanted.end())
        *it->second = xml_unescape(tag.substr(a + 2, value_end - a - 2));
      a = value_end + 1;
    }
    Node* placed = nullptr;
    if (element == "packet" || open.empty()) {
      packets.push_back(std::move(node));
      placed = &packets.back();
      open.clear();
    } else {
      open.back()->children.push_back(std::move(node));
      placed = &open.back()->children.back();
    }
    if (!self_closing) open.push_back(placed);
  }
  return packets;
}

}  // namespace nimbrel::rtps::testing

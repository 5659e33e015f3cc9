// Helpers for checking datagrams against tshark: `PcapWriter` frames UDP/IPv4 datagrams into a
// classic libpcap file (linktype 1, Ethernet) that tshark reads offline, `parse_pdml` turns
// `tshark -T pdml` output into a tree of named fields. The frames are synthesized, never
// captured: no socket or interface is involved.
#pragma once

#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrel::rtps::testing {

using Ipv4 = std::array<std::uint8_t, 4>;

class PcapWriter {
 public:
  PcapWriter() {
    put_le32(0xA1B2C3D4);  // magic, microsecond time stamps
    put_le16(2);           // version major
    put_le16(4);           // version minor
    put_le32(0);           // thiszone
    put_le32(0);           // sigfigs
    put_le32(65535);       // snaplen
    put_le32(1);           // linktype Ethernet
  }

  // One Ethernet/IPv4/UDP frame carrying `payload`; returns its 1-based frame number.
  std::size_t add_udp(Ipv4 src, std::uint16_t src_port, Ipv4 dst, std::uint16_t dst_port,
                      std::span<const std::byte> payload) {
    std::vector<std::uint8_t> frame;
    // A multicast destination needs its derived MAC (01:00:5e + low 23 bits), else tshark
    // rightly reports a mismatch between layers.
    const bool multicast = (dst[0] & 0xF0) == 0xE0;
    const std::array<std::uint8_t, 6> dst_mac =
        multicast ? std::array<std::uint8_t, 6>{0x01,   0x00,
                                                0x5E,   static_cast<std::uint8_t>(dst[1] & 0x7F),
                                                dst[2], dst[3]}
                  : std::array<std::uint8_t, 6>{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    const std::array<std::uint8_t, 6> src_mac{0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
    frame.insert(frame.end(), dst_mac.begin(), dst_mac.end());
    frame.insert(frame.end(), src_mac.begin(), src_mac.end());
    put_be16(frame, 0x0800);

    const auto udp_length = static_cast<std::uint16_t>(8 + payload.size());
    const auto ip_length = static_cast<std::uint16_t>(20 + udp_length);
    const std::size_t ip_start = frame.size();
    frame.push_back(0x45);  // version 4, header length 5 words
    frame.push_back(0x00);  // DSCP/ECN
    put_be16(frame, ip_length);
    put_be16(frame, static_cast<std::uint16_t>(frames_ + 1));  // identification
    put_be16(frame, 0x4000);                                   // don't fragment
    frame.push_back(multicast ? 1 : 64);                       // TTL
    frame.push_back(17);                                       // protocol UDP
    put_be16(frame, 0);                                        // checksum, patched below
    frame.insert(frame.end(), src.begin(), src.end());
    frame.insert(frame.end(), dst.begin(), dst.end());
    const std::uint16_t ip_sum = checksum(std::span(frame).subspan(ip_start, 20), 0);
    frame[ip_start + 10] = static_cast<std::uint8_t>(ip_sum >> 8);
    frame[ip_start + 11] = static_cast<std::uint8_t>(ip_sum & 0xFF);

    const std::size_t udp_start = frame.size();
    put_be16(frame, src_port);
    put_be16(frame, dst_port);
    put_be16(frame, udp_length);
    put_be16(frame, 0);  // checksum, patched below
    for (std::byte b : payload)
      frame.push_back(std::to_integer<std::uint8_t>(b));
    // Pseudo-header: addresses, protocol and UDP length.
    std::uint32_t pseudo = 17u + udp_length;
    for (std::size_t i = 0; i < 4; i += 2) {
      pseudo += static_cast<std::uint32_t>(src[i] << 8 | src[i + 1]);
      pseudo += static_cast<std::uint32_t>(dst[i] << 8 | dst[i + 1]);
    }
    std::uint16_t udp_sum = checksum(std::span(frame).subspan(udp_start), pseudo);
    if (udp_sum == 0) udp_sum = 0xFFFF;  // 0 would mean "no checksum"
    frame[udp_start + 6] = static_cast<std::uint8_t>(udp_sum >> 8);
    frame[udp_start + 7] = static_cast<std::uint8_t>(udp_sum & 0xFF);

    ++frames_;
    put_le32(static_cast<std::uint32_t>(1'700'000'000 + frames_));  // seconds
    put_le32(0);                                                    // microseconds
    put_le32(static_cast<std::uint32_t>(frame.size()));             // captured length
    put_le32(static_cast<std::uint32_t>(frame.size()));             // original length
    file_.insert(file_.end(), frame.begin(), frame.end());
    return frames_;
  }

  bool save(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file_.data()),
              static_cast<std::streamsize>(file_.size()));
    return static_cast<bool>(out);
  }

 private:
  static void put_be16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  }
  void put_le16(std::uint16_t v) {
    file_.push_back(static_cast<std::uint8_t>(v & 0xFF));
    file_.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  void put_le32(std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8)
      file_.push_back(static_cast<std::uint8_t>(v >> shift));
  }
  // Internet checksum (RFC 1071) over `bytes`, starting from the partial sum `sum`.
  static std::uint16_t checksum(std::span<const std::uint8_t> bytes, std::uint32_t sum) {
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
      const std::uint32_t high = bytes[i];
      const std::uint32_t low = i + 1 < bytes.size() ? bytes[i + 1] : 0;
      sum += high << 8 | low;
    }
    while (sum >> 16 != 0)
      sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
  }

  std::vector<std::uint8_t> file_;
  std::size_t frames_ = 0;
};

// The tree tshark prints, reduced to what assertions read.
struct Node {
  std::string tag;  // packet, proto or field
  std::string name;
  std::string showname;
  std::string show;
  std::string value;
  std::vector<Node> children;

  // First node of that name at or below this one, depth first.
  const Node* find(std::string_view wanted) const {
    if (name == wanted) return this;
    for (const auto& child : children)
      if (const Node* hit = child.find(wanted)) return hit;
    return nullptr;
  }
  void find_all(std::string_view wanted, std::vector<const Node*>& out) const {
    if (name == wanted) out.push_back(this);
    for (const auto& child : children)
      child.find_all(wanted, out);
  }
  std::vector<const Node*> find_all(std::string_view wanted) const {
    std::vector<const Node*> out;
    find_all(wanted, out);
    return out;
  }
  // The `show` of the first node of that name, or a marker that cannot equal a real value.
  std::string show_of(std::string_view wanted) const {
    const Node* hit = find(wanted);
    return hit ? hit->show : "<missing " + std::string(wanted) + ">";
  }
  std::string value_of(std::string_view wanted) const {
    const Node* hit = find(wanted);
    return hit ? hit->value : "<missing " + std::string(wanted) + ">";
  }
  std::string showname_of(std::string_view wanted) const {
    const Node* hit = find(wanted);
    return hit ? hit->showname : "<missing " + std::string(wanted) + ">";
  }
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
    } else if (entity.starts_with("#x")) {
      out.push_back(static_cast<char>(std::stoi(std::string(entity.substr(2)), nullptr, 16)));
    } else if (entity.starts_with("#")) {
      out.push_back(static_cast<char>(std::stoi(std::string(entity.substr(1)))));
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
      const std::string_view closing = tag.substr(1);
      if (!open.empty() && open.back()->tag == closing) open.pop_back();
      continue;
    }
    const bool self_closing = tag.ends_with('/');
    if (self_closing) tag.remove_suffix(1);
    const std::string_view element = tag.substr(0, tag.find(' '));
    if (element != "packet" && element != "proto" && element != "field") continue;

    Node node;
    node.tag = std::string(element);
    // Attributes: key="value" pairs separated by spaces.
    std::size_t a = element.size();
    while ((a = tag.find('=', a)) != std::string_view::npos) {
      const std::size_t key_start = tag.rfind(' ', a) + 1;
      const std::string_view key = tag.substr(key_start, a - key_start);
      const std::size_t value_end = tag.find('"', a + 2);
      if (value_end == std::string_view::npos) break;
      const std::string value = xml_unescape(tag.substr(a + 2, value_end - a - 2));
      if (key == "name") node.name = value;
      if (key == "showname") node.showname = value;
      if (key == "show") node.show = value;
      if (key == "value") node.value = value;
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

// The first executable tshark on PATH.
inline std::optional<std::string> find_tshark() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/tshark";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

}  // namespace nimbrel::rtps::testing

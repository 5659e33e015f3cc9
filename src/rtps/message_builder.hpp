// Packs outgoing submessages into datagrams of at most an MTU. Open one per batch with the sender's
// prefix, vendor id and destinations; `append` closes the current datagram into the caller's list
// whenever the next submessage would overflow it; `finish` hands over the last one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

// Names the submessage in the error for an oversized body.
enum class BodyLabel { Gap, Heartbeat, Data, Other };

class MessageBuilder {
 public:
  static constexpr std::size_t min_mtu = 20;

  // An MTU below 20 cannot hold the RTPS header and is fatal.
  MessageBuilder(const GuidPrefix& prefix, VendorId vendor_id,
                 std::shared_ptr<const std::vector<Locator>> destinations, std::size_t mtu);

  // Writes the submessage with the E flag forced on. On failure the datagrams already moved to
  // `closed` stay there.
  CodecResult<void> append(std::uint8_t id, std::uint8_t flags, std::span<const std::byte> body,
                           std::vector<OutboundDatagram>& closed,
                           BodyLabel label = BodyLabel::Other);
  // The datagram under construction if it holds a submessage; the builder starts afresh.
  std::optional<OutboundDatagram> finish();

  std::size_t size() const { return buffer_.size(); }
  std::size_t submessage_count() const { return submessages_; }
  std::size_t mtu() const { return mtu_; }

 private:
  void open_fresh();

  GuidPrefix prefix_;
  VendorId vendor_id_;
  std::shared_ptr<const std::vector<Locator>> destinations_;
  std::size_t mtu_;
  std::vector<std::byte> buffer_;
  std::size_t submessages_ = 0;
};

}  // namespace nimbrel::rtps

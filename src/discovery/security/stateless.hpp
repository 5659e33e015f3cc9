// The participant stateless message endpoints (DDS-Security 1.2 section 7.4.3): best-effort, no
// history, no acknowledgement. The writer only keeps the readers it would address; the reader
// decodes each DATA into a generic message and counts what does not decode.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <vector>

#include "rtps/reader_proxy.hpp"
#include "rtps/submessages.hpp"
#include "rtps/wire_types.hpp"
#include "rtps/writer_proxy.hpp"
#include "security/generic_message.hpp"

namespace nimbrel::discovery {

class StatelessMessageWriter {
 public:
  explicit StatelessMessageWriter(const rtps::Guid& guid) : guid_(guid) {}

  // A proxy with the same reader GUID is replaced in place, otherwise appended.
  void add_reader_proxy(rtps::ReaderProxy proxy);
  std::size_t remove_reader_proxies_if(const std::function<bool(const rtps::Guid&)>& gone);

  const rtps::Guid& guid() const { return guid_; }
  const std::vector<rtps::ReaderProxy>& reader_proxies() const { return proxies_; }

 private:
  rtps::Guid guid_;
  std::vector<rtps::ReaderProxy> proxies_;
};

class StatelessMessageReader {
 public:
  explicit StatelessMessageReader(const rtps::Guid& guid) : guid_(guid) {}

  // A proxy with the same writer GUID is replaced in place, otherwise appended.
  void add_writer_proxy(rtps::WriterProxy proxy);
  std::size_t remove_writer_proxies_if(const std::function<bool(const rtps::Guid&)>& gone);

  // The message a DATA carries; a failure is counted and returned.
  CodecResult<security::ParticipantGenericMessage> handle_data(const rtps::DataSubmessage& data);

  const rtps::Guid& guid() const { return guid_; }
  const std::vector<rtps::WriterProxy>& writer_proxies() const { return proxies_; }
  std::uint64_t decoded_messages() const { return decoded_; }
  std::uint64_t undecodable_messages() const { return undecodable_; }

 private:
  rtps::Guid guid_;
  std::vector<rtps::WriterProxy> proxies_;
  std::uint64_t decoded_ = 0;
  std::uint64_t undecodable_ = 0;
};

}  // namespace nimbrel::discovery

#include "discovery/security/stateless.hpp"

#include <algorithm>
#include <utility>

#include "foundation/saturating.hpp"

namespace nimbrel::discovery {
namespace {

template <typename Proxy, typename GuidOf>
void replace_or_append(std::vector<Proxy>& proxies, Proxy proxy, GuidOf guid_of) {
  auto same =
      std::ranges::find_if(proxies, [&](const Proxy& p) { return guid_of(p) == guid_of(proxy); });
  if (same != proxies.end()) {
    *same = std::move(proxy);
  } else {
    proxies.push_back(std::move(proxy));
  }
}

template <typename Proxy, typename GuidOf>
std::size_t remove_if(std::vector<Proxy>& proxies,
                      const std::function<bool(const rtps::Guid&)>& gone, GuidOf guid_of) {
  return std::erase_if(proxies, [&](const Proxy& p) { return gone(guid_of(p)); });
}

const rtps::Guid& reader_of(const rtps::ReaderProxy& proxy) {
  return proxy.remote_reader_guid;
}
const rtps::Guid& writer_of(const rtps::WriterProxy& proxy) {
  return proxy.remote_writer_guid;
}

}  // namespace

void StatelessMessageWriter::add_reader_proxy(rtps::ReaderProxy proxy) {
  replace_or_append(proxies_, std::move(proxy), reader_of);
}

std::size_t StatelessMessageWriter::remove_reader_proxies_if(
    const std::function<bool(const rtps::Guid&)>& gone) {
  return remove_if(proxies_, gone, reader_of);
}

void StatelessMessageReader::add_writer_proxy(rtps::WriterProxy proxy) {
  replace_or_append(proxies_, std::move(proxy), writer_of);
}

std::size_t StatelessMessageReader::remove_writer_proxies_if(
    const std::function<bool(const rtps::Guid&)>& gone) {
  return remove_if(proxies_, gone, writer_of);
}

CodecResult<security::ParticipantGenericMessage> StatelessMessageReader::handle_data(
    const rtps::DataSubmessage& data) {
  auto message =
      rtps::decode_bytes<security::ParticipantGenericMessage>(data.serialized_payload.span(), true);
  saturating_increment(message ? decoded_ : undecodable_);
  return message;
}

}  // namespace nimbrel::discovery

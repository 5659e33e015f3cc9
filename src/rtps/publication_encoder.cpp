#include "rtps/endpoint_parameters.hpp"
#include "rtps/publication_data.hpp"

namespace nimbrel::rtps {

CodecResult<void> PublicationBuiltinTopicData::encode(WireWriter& writer) const {
  ParameterList list;
  if (auto ok = push_endpoint_qos(list, *this); !ok) return ok;
  list.push_u32(pid::ownership_strength, static_cast<std::uint32_t>(ownership_strength),
                /*little_endian=*/true);
  list.push_duration(pid::lifespan, lifespan, /*little_endian=*/true);
  if (auto ok = push_endpoint_extensions(list, *this); !ok) return ok;
  return encode_pl_cdr_le(writer, list);
}

}  // namespace nimbrel::rtps

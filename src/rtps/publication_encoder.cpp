#include "rtps/endpoint_parameters.hpp"
#include "rtps/participant_data.hpp"
#include "rtps/publication_data.hpp"

namespace nimbrel::rtps {

CodecResult<void> PublicationBuiltinTopicData::encode(WireWriter& writer) const {
  ParameterList list;
  if (auto ok = push_endpoint_qos(list, *this); !ok) return ok;
  list.push_u32(pid::ownership_strength, static_cast<std::uint32_t>(ownership_strength),
                /*little_endian=*/true);
  list.push_duration(pid::lifespan, lifespan, /*little_endian=*/true);
  if (auto ok = push_endpoint_extensions(list, *this); !ok) return ok;
  return PlCdrPayload{std::move(list)}.encode(writer);
}

}  // namespace nimbrel::rtps

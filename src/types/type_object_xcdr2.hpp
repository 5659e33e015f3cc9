// Type objects in the forms standard peers exchange: XCDR2 (DDS-XTypes 1.3 section 7.3.4 IDL with
// each declaration's extensibility; what type lookup replies carry and what type hashes are taken
// over), and the XCDR1 flavour Fast DDS 2.x puts in its SEDP parameter 0x0072 (no DHEADERs, every
// optional member always written). Annotation type objects have no standard form here: the model
// keeps their parameters in the private shape only.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "cdr/buffer.hpp"
#include "types/type_identifier.hpp"
#include "types/type_object.hpp"

namespace nimbrel::types {

// The reader's and writer's origin must sit 4-aligned before the object, as in a type lookup reply.
CodecResult<void> encode_xcdr2(cdr::BufferWriter& writer, const TypeObject& object);
CodecResult<TypeObject> decode_xcdr2(cdr::BufferReader& reader);

// A whole buffer holding one object, from its DHEADER to its end; bytes after it fail decoding.
CodecResult<std::vector<std::byte>> encode_xcdr2(const TypeObject& object,
                                                 bool little_endian = true);
CodecResult<TypeObject> decode_xcdr2(std::span<const std::byte> bytes, bool little_endian = true);

// The value of Fast DDS's 0x0072 parameter: a CDR encapsulation header, then the object.
CodecResult<TypeObject> decode_fastdds_type_object(std::span<const std::byte> parameter_value);

// The identifier naming an encoded object: its equivalence kind (the byte after the DHEADER) and
// the first 14 bytes of the MD5 of the bytes exactly as given.
CodecResult<TypeIdentifier> type_identifier_of_xcdr2(std::span<const std::byte> encoded);

// True when `id` is a hash identifier of the kind and hash of these encoded bytes.
bool xcdr2_matches_identifier(std::span<const std::byte> encoded, const TypeIdentifier& id);

}  // namespace nimbrel::types

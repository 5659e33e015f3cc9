// MD5 digest of a byte span. Type identifiers name a type by the leading bytes of the MD5 of its
// serialized type object, so this is a hash for naming, never for security.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace nimbrel {

using Md5Digest = std::array<std::uint8_t, 16>;

Md5Digest md5(std::span<const std::byte> data);
Md5Digest md5(std::span<const std::uint8_t> data);

}  // namespace nimbrel

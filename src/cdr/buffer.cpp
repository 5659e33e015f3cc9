#include "cdr/buffer.hpp"

#include <limits>

namespace nimbrel::cdr {

namespace {

std::size_t padding_for(std::size_t position, std::size_t n) {
  return (n - position % n) % n;
}

}  // namespace

void BufferWriter::write_bytes(std::span<const std::byte> bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

void BufferWriter::align(std::size_t n) {
  bytes_.resize(bytes_.size() + padding_for(bytes_.size(), n));
}

CodecResult<void> BufferWriter::write_string(std::string_view s) {
  if (s.size() > std::numeric_limits<std::uint32_t>::max() - 1u) {
    return std::unexpected(CodecError::out_of_range("CDR string length exceeds u32::MAX"));
  }
  write_u32(static_cast<std::uint32_t>(s.size() + 1));
  write_bytes(std::as_bytes(std::span(s.data(), s.size())));
  write_u8(0);
  return {};
}

CodecResult<void> BufferReader::align(std::size_t n) {
  const std::size_t pad = padding_for(pos_, n);
  if (pad > remaining()) return std::unexpected(CodecError::eof(pad, pos_));
  pos_ += pad;
  return {};
}

CodecResult<std::span<const std::byte>> BufferReader::read_bytes(std::size_t n) {
  if (n > remaining()) return std::unexpected(CodecError::eof(n, pos_));
  auto out = input_.subspan(pos_, n);
  pos_ += n;
  return out;
}

CodecResult<std::uint8_t> BufferReader::read_u8() {
  if (remaining() < 1) return std::unexpected(CodecError::eof(1, pos_));
  return static_cast<std::uint8_t>(input_[pos_++]);
}

CodecResult<float> BufferReader::read_f32() {
  auto u = read_u32();
  if (!u) return std::unexpected(u.error());
  return std::bit_cast<float>(*u);
}

CodecResult<double> BufferReader::read_f64() {
  auto u = read_u64();
  if (!u) return std::unexpected(u.error());
  return std::bit_cast<double>(*u);
}

CodecResult<std::string> BufferReader::read_string() {
  const std::size_t start = pos_;
  if (auto aligned = align(4); !aligned) return std::unexpected(aligned.error());
  auto length = read_u32();
  if (!length) return std::unexpected(length.error());
  if (*length == 0) {
    return std::unexpected(CodecError::with_message(
        CodecError::Kind::InvalidString, "length must be > 0 (null terminator required)", start));
  }
  auto body = read_bytes(*length);
  if (!body) return std::unexpected(body.error());
  if (body->back() != std::byte{0}) {
    return std::unexpected(CodecError::with_message(CodecError::Kind::InvalidString,
                                                    "missing null terminator", start));
  }
  auto text = body->first(body->size() - 1);
  if (!is_valid_utf8(text)) {
    return std::unexpected(CodecError{.kind = CodecError::Kind::InvalidUtf8, .offset = start + 4});
  }
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

bool is_valid_utf8(std::span<const std::byte> bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto b0 = static_cast<std::uint8_t>(bytes[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    std::uint32_t min = 0;
    std::uint32_t cp = 0;
    if ((b0 & 0xE0) == 0xC0) {
      len = 2, min = 0x80, cp = b0 & 0x1Fu;
    } else if ((b0 & 0xF0) == 0xE0) {
      len = 3, min = 0x800, cp = b0 & 0x0Fu;
    } else if ((b0 & 0xF8) == 0xF0) {
      len = 4, min = 0x10000, cp = b0 & 0x07u;
    } else {
      return false;
    }
    if (len > n - i) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto b = static_cast<std::uint8_t>(bytes[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace nimbrel::cdr

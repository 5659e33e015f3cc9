#include "recorder/mcap_compression.hpp"

#include <lz4frame.h>
#include <zstd.h>

namespace nimbrel::recorder {
namespace {

// Compression fails only when it cannot allocate its state: the bound gives room for any input.
std::unexpected<std::error_code> failed() {
  return std::unexpected(std::make_error_code(std::errc::not_enough_memory));
}

}  // namespace

std::string_view compression_name(McapCompression compression) {
  switch (compression) {
    case McapCompression::Lz4:
      return "lz4";
    case McapCompression::Zstd:
      return "zstd";
    case McapCompression::None:
      break;
  }
  return "";
}

void ChunkCompressor::FreeZstd::operator()(ZSTD_CCtx_s* context) const {
  ZSTD_freeCCtx(context);
}

ChunkCompressor::ChunkCompressor(McapCompression compression) : compression_(compression) {}

std::expected<std::span<const std::byte>, std::error_code> ChunkCompressor::compress(
    std::span<const std::byte> records) {
  if (compression_ == McapCompression::Lz4) {
    LZ4F_preferences_t preferences = LZ4F_INIT_PREFERENCES;
    preferences.frameInfo.contentSize = records.size();
    const std::size_t bound = LZ4F_compressFrameBound(records.size(), &preferences);
    if (out_.size() < bound) out_.resize(bound);
    const std::size_t size =
        LZ4F_compressFrame(out_.data(), out_.size(), records.data(), records.size(), &preferences);
    if (LZ4F_isError(size)) return failed();
    return std::span<const std::byte>(out_.data(), size);
  }
  if (compression_ == McapCompression::Zstd) {
    if (!zstd_) zstd_.reset(ZSTD_createCCtx());
    if (!zstd_) return failed();
    const std::size_t bound = ZSTD_compressBound(records.size());
    if (out_.size() < bound) out_.resize(bound);
    const std::size_t size = ZSTD_compressCCtx(zstd_.get(), out_.data(), out_.size(),
                                               records.data(), records.size(), ZSTD_CLEVEL_DEFAULT);
    if (ZSTD_isError(size)) return failed();
    return std::span<const std::byte>(out_.data(), size);
  }
  return records;
}

}  // namespace nimbrel::recorder

// Compression of MCAP chunks with the two codecs every MCAP reader decodes: LZ4 in its frame
// format and Zstandard. A writer keeps one compressor, so that its context and output buffer are
// reused from chunk to chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string_view>
#include <system_error>
#include <vector>

struct ZSTD_CCtx_s;

namespace nimbrel::recorder {

enum class McapCompression : std::uint8_t { None, Lz4, Zstd };

// As a chunk record names it: empty for none.
std::string_view compression_name(McapCompression compression);

class ChunkCompressor {
 public:
  explicit ChunkCompressor(McapCompression compression);

  McapCompression compression() const { return compression_; }
  // The records themselves when uncompressed; otherwise a view of the compressor's buffer, valid
  // until the next call.
  std::expected<std::span<const std::byte>, std::error_code> compress(
      std::span<const std::byte> records);

 private:
  struct FreeZstd {
    void operator()(ZSTD_CCtx_s* context) const;
  };

  McapCompression compression_;
  std::unique_ptr<ZSTD_CCtx_s, FreeZstd> zstd_;
  std::vector<std::byte> out_;
};

}  // namespace nimbrel::recorder

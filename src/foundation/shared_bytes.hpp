// An immutable, reference-counted byte buffer seen through an offset and a length. A received
// datagram is read into one buffer; payloads and fragments are views into it, so a sample travels
// from the socket to the recording without being copied.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

namespace nimbrel {

class SharedBytes {
 public:
  SharedBytes() = default;

  // Takes ownership of the vector's storage without copying it.
  static SharedBytes adopt(std::vector<std::byte>&& bytes);
  // The first `size` bytes of `storage`, which must hold at least that many.
  static SharedBytes adopt(std::shared_ptr<std::byte[]> storage, std::size_t size);
  static SharedBytes copy_of(std::span<const std::byte> bytes);

  const std::byte* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<const std::byte> span() const { return {data_, size_}; }
  operator std::span<const std::byte>() const { return span(); }

  // A view of [offset, offset + length) sharing this buffer; clamped to the bytes available.
  SharedBytes slice(std::size_t offset, std::size_t length) const;
  SharedBytes slice(std::size_t offset) const {
    return slice(offset, size_ - std::min(offset, size_));
  }

  // True when both are views into the same storage.
  bool shares_storage_with(const SharedBytes& other) const { return owner_ == other.owner_; }

  friend bool operator==(const SharedBytes& a, const SharedBytes& b);

 private:
  SharedBytes(std::shared_ptr<const void> owner, const std::byte* data, std::size_t size)
      : owner_(std::move(owner)), data_(data), size_(size) {}

  std::shared_ptr<const void> owner_;
  const std::byte* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace nimbrel

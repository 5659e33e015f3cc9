#include "foundation/shared_bytes.hpp"

#include <algorithm>
#include <cstring>

namespace nimbrel {

SharedBytes SharedBytes::adopt(std::vector<std::byte>&& bytes) {
  if (bytes.empty()) return {};
  auto owner = std::make_shared<const std::vector<std::byte>>(std::move(bytes));
  const std::byte* data = owner->data();
  const std::size_t size = owner->size();
  return SharedBytes(std::move(owner), data, size);
}

SharedBytes SharedBytes::adopt(std::shared_ptr<std::byte[]> storage, std::size_t size) {
  if (size == 0) return {};
  const std::byte* data = storage.get();
  return SharedBytes(std::move(storage), data, size);
}

SharedBytes SharedBytes::copy_of(std::span<const std::byte> bytes) {
  if (bytes.empty()) return {};
  // One allocation holds the count and the bytes.
  std::shared_ptr<std::byte[]> owner = std::make_shared_for_overwrite<std::byte[]>(bytes.size());
  std::memcpy(owner.get(), bytes.data(), bytes.size());
  return adopt(std::move(owner), bytes.size());
}

SharedBytes SharedBytes::slice(std::size_t offset, std::size_t length) const {
  offset = std::min(offset, size_);
  length = std::min(length, size_ - offset);
  if (length == 0) return {};
  return SharedBytes(owner_, data_ + offset, length);
}

bool operator==(const SharedBytes& a, const SharedBytes& b) {
  return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data_, b.data_, a.size_) == 0);
}

}  // namespace nimbrel

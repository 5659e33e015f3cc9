// The reading side of sample decoding: a bounds-checked cursor over a sample's body in one byte
// order and one XCDR version, with the member path it is at for error messages. It knows the
// framing (alignment, DHEADER, EMHEADER, XCDR1 parameter lists), never the types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "types/sample_json.hpp"

namespace nimbrel::types::detail {

using SampleResult = std::expected<void, SampleJsonError>;

// Extends the cursor's member path for as long as a member or element is being read.
class PathScope {
 public:
  PathScope(std::string& path, const std::string& name) : path_(path), size_(path.size()) {
    if (!path_.empty()) path_ += '.';
    path_ += name;
  }
  PathScope(std::string& path, std::size_t index) : path_(path), size_(path.size()) {
    path_ += '[' + std::to_string(index) + ']';
  }
  PathScope(const PathScope&) = delete;
  PathScope& operator=(const PathScope&) = delete;
  ~PathScope() { path_.resize(size_); }

 private:
  std::string& path_;
  std::size_t size_;
};

class XcdrCursor {
 public:
  // `header_size` bytes of the sample come before `body`; offsets in errors count them.
  XcdrCursor(std::span<const std::byte> body, std::size_t header_size, bool little_endian,
             bool xcdr2)
      : body_(body),
        end_(body.size()),
        header_size_(header_size),
        little_endian_(little_endian),
        xcdr2_(xcdr2) {}

  bool xcdr2() const { return xcdr2_; }
  bool little_endian() const { return little_endian_; }
  std::size_t left() const { return end_ - pos_; }
  std::string& path() { return path_; }

  std::unexpected<SampleJsonError> fail(SampleJsonError::Kind kind, std::string detail) const {
    return std::unexpected(SampleJsonError{kind, pos_ + header_size_, path_, std::move(detail)});
  }
  std::unexpected<SampleJsonError> truncated() const {
    return fail(SampleJsonError::Kind::Truncated, "truncated");
  }

  // XCDR2 aligns nothing past 4 bytes; XCDR1 up to 8, from the origin of the current body.
  SampleResult align(std::size_t size);
  std::expected<std::uint64_t, SampleJsonError> read_uint(std::size_t size);
  std::expected<std::uint32_t, SampleJsonError> read_u32();
  // The next `n` bytes, aligned to `alignment` first.
  std::expected<std::span<const std::byte>, SampleJsonError> read_bytes(std::size_t n,
                                                                        std::size_t alignment);
  // Steps back over what was just read, so that an error points at the value.
  void unread(std::size_t n) { pos_ -= n; }

  // Runs `body` over the next `length` bytes and goes on after them, whatever it consumed.
  template <typename Body>
  SampleResult within(std::size_t length, bool new_origin, Body&& body) {
    if (length > left())
      return fail(SampleJsonError::Kind::Truncated,
                  "length " + std::to_string(length) + " past the end");
    const std::size_t saved_end = end_, saved_origin = origin_, stop = pos_ + length;
    end_ = stop;
    if (new_origin) origin_ = pos_;
    auto ok = body();
    end_ = saved_end;
    origin_ = saved_origin;
    if (!ok) return ok;
    pos_ = stop;
    return {};
  }

  // An XCDR2 DHEADER around `body` when `delimited`, nothing otherwise.
  template <typename Body>
  SampleResult maybe_delimited(bool delimited, Body&& body) {
    if (!xcdr2_ || !delimited) return body();
    auto length = read_u32();
    if (!length) return std::unexpected(length.error());
    return within(*length, /*new_origin=*/false, body);
  }

  // XCDR1: a parameter header, length 0 for an absent optional member.
  struct Parameter {
    std::uint32_t id = 0;
    bool must_understand = false;
    std::size_t length = 0;
  };
  std::expected<Parameter, SampleJsonError> parameter_header();

  // Calls `on_member(id)` for each member of a mutable type, over exactly that member's bytes;
  // it answers whether it knew the id. Unknown members are skipped unless they must be understood.
  template <typename OnMember>
  SampleResult each_member(OnMember&& on_member) {
    auto visit = [&](const Parameter& p, bool new_origin) -> SampleResult {
      return within(p.length, new_origin, [&]() -> SampleResult {
        auto known = on_member(p.id);
        if (!known) return std::unexpected(known.error());
        if (!*known && p.must_understand)
          return fail(SampleJsonError::Kind::UnknownValue,
                      "unknown must-understand member id " + std::to_string(p.id));
        return {};
      });
    };
    if (!xcdr2_) {
      for (;;) {
        auto p = next_parameter();
        if (!p) return std::unexpected(p.error());
        if (!*p) return {};
        if (auto ok = visit(**p, /*new_origin=*/true); !ok) return ok;
      }
    }
    auto length = read_u32();
    if (!length) return std::unexpected(length.error());
    return within(*length, /*new_origin=*/false, [&]() -> SampleResult {
      while (left() > 0) {
        auto p = member_header();
        if (!p) return std::unexpected(p.error());
        if (auto ok = visit(*p, /*new_origin=*/false); !ok) return ok;
      }
      return {};
    });
  }

 private:
  // The next member of an XCDR1 parameter list; none at its sentinel or at the end of the data.
  std::expected<std::optional<Parameter>, SampleJsonError> next_parameter();
  // An XCDR2 EMHEADER with the member length its NEXTINT or length code gives.
  std::expected<Parameter, SampleJsonError> member_header();

  std::span<const std::byte> body_;
  std::size_t pos_ = 0;
  std::size_t end_;         // reads stop here: the body's end or that of a delimited value
  std::size_t origin_ = 0;  // alignment is counted from here
  std::size_t header_size_;
  bool little_endian_;
  bool xcdr2_;
  std::string path_{};  // the member being read: pos.x, items[2]
};

}  // namespace nimbrel::types::detail

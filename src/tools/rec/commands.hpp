// The subcommands of nimbrel-rec, each run from parsed options. They print results on `out` and
// diagnostics on `err`, and return the exit status: 0 done; 1 the input's data (or its header)
// ends in a cut or damaged record, and the output holds every whole frame before it; 2 a usage
// error or a file that is not a recording; 3 the output could not be written, and no file is left
// at its name (an earlier file of that name stays as it was).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <limits>
#include <string>
#include <vector>

namespace nimbrel::rec {

inline constexpr int usage_error = 2;
inline constexpr int output_not_written = 3;

struct InfoOptions {
  std::string file;
  bool json = false;
  bool sequence = false;
};
int run_info(const InfoOptions& options, std::ostream& out, std::ostream& err);

int run_verify(const std::string& file, std::ostream& out, std::ostream& err);

enum class PayloadEncoding { Hex, Base64 };
struct DumpOptions {
  std::string file;
  std::vector<std::string> topics;
  std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
  PayloadEncoding encoding = PayloadEncoding::Hex;
  bool decode = false;  // MCAP with the writers' types: each sample's values as JSON
};
int run_dump(const DumpOptions& options, std::ostream& out, std::ostream& err);

struct ExportOptions {
  std::string file;
  std::string mcap;
  std::vector<std::string> topics;
};
int run_export(const ExportOptions& options, std::ostream& err);

// Keeps the frames with from_ns <= time < to_ns, times counted from the recording's start.
struct CutOptions {
  std::string file;
  std::string out;
  std::uint64_t from_ns = 0;
  std::uint64_t to_ns = std::numeric_limits<std::uint64_t>::max();
  std::vector<std::string> topics;
};
int run_cut(const CutOptions& options, std::ostream& err);

struct MergeOptions {
  std::vector<std::string> files;
  std::string out;
};
int run_merge(const MergeOptions& options, std::ostream& err);

}  // namespace nimbrel::rec

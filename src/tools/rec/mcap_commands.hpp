// The subcommands of nimbrel-rec over MCAP recordings, which the command line picks by content
// (the MCAP magic). Exit statuses as for .nbrlrec: 0 done, 1 an input cut or damaged (outputs
// still hold everything before the damage), 2 a usage error, 3 an output not written.
#pragma once

#include <iosfwd>
#include <string>

#include "tools/rec/commands.hpp"

namespace nimbrel::rec {

// False for anything that cannot be opened: the .nbrlrec path reports those.
bool is_mcap_file(const std::string& path);

int run_mcap_info(const InfoOptions& options, std::ostream& out, std::ostream& err);
int run_mcap_verify(const std::string& file, std::ostream& out, std::ostream& err);
int run_mcap_dump(const DumpOptions& options, std::ostream& out, std::ostream& err);
// Times of --from and --to count from the recording's start_time_ns metadata when it comes
// before the first message, else from the first message's log time.
int run_mcap_cut(const CutOptions& options, std::ostream& err);
int run_mcap_merge(const MergeOptions& options, std::ostream& err);

// Everything readable of `file` rewritten with a full summary: 1 when the input was damaged.
struct RecoverOptions {
  std::string file;
  std::string out;
};
int run_recover(const RecoverOptions& options, std::ostream& err);

}  // namespace nimbrel::rec

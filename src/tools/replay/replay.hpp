// One run of nimbrel-replay: opens the recording, joins the domain, creates one reliable keep-all
// writer per topic (keyed or not as the file says, else as the readers found ask), waits for the
// readers it was told to, plays the frames and waits for the readers to acknowledge them before it
// leaves.
#pragma once

#include <atomic>
#include <iosfwd>

#include "tools/replay/args.hpp"

namespace nimbrel::replay {

// The exit status: 0 all played, 1 a failure (or samples refused), 2 an unusable input.
int run(const Args& args, const std::atomic<bool>& stop, std::ostream& out, std::ostream& err);

}  // namespace nimbrel::replay

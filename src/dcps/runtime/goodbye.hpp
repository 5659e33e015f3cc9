// Leaving the domain the way standard peers expect: the local subscriptions disposed and
// unregistered through SEDP, then the participant through SPDP, before the sockets close. A
// reliable publisher then lets go of our readers at once instead of blocking on them until our
// lease runs out.
#pragma once

#include "dcps/runtime/runtime_state.hpp"

namespace nimbrel::dcps {

void say_goodbye(RuntimeState& state);

}  // namespace nimbrel::dcps

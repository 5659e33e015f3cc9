// Ends the process on a misconfiguration that no caller can recover from (an MTU below the RTPS
// header, a zero fragment size, a failed thread join): the message goes to stderr, then abort.
#pragma once

#include <string_view>

namespace nimbrel {

[[noreturn]] void fatal(std::string_view message) noexcept;

}  // namespace nimbrel

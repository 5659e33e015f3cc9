#include "tools/discover/listen.hpp"

#include <chrono>
#include <memory>
#include <thread>

#include "c_api/guid_prefix.hpp"
#include "dcps/runtime/runtime.hpp"

namespace nimbrel::discover {

std::expected<DomainView, std::string> listen(std::uint32_t domain, std::uint64_t duration_ms) {
  auto runtime = dcps::DcpsRuntime::start(domain, c_api::random_guid_prefix(), {});
  if (!runtime) return std::unexpected(std::string(dcps::to_string(runtime.error())));
  auto sinks = std::make_shared<dcps::BuiltinSinks>();
  (*runtime)->install_builtin_sinks(sinks);
  std::this_thread::sleep_for(std::chrono::milliseconds(duration_ms));
  // Taken while the runtime still runs, so the cache and the samples describe the same moment.
  TakenSamples samples{.participants = sinks->participant->take(),
                       .publications = sinks->publication->take(),
                       .subscriptions = sinks->subscription->take()};
  return build_domain_view(samples, (*runtime)->discovered_participants());
}

}  // namespace nimbrel::discover

#include "tools/discover/listen.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "c_api/guid_prefix.hpp"
#include "dcps/runtime/runtime.hpp"

namespace nimbrel::discover {

std::expected<DomainView, std::string> listen(std::uint32_t domain, std::uint64_t duration_ms,
                                              bool types, const tools::TopicFilter& filter) {
  auto runtime = dcps::DcpsRuntime::start(domain, c_api::random_guid_prefix(), {});
  if (!runtime) return std::unexpected(std::string(dcps::to_string(runtime.error())));
  auto sinks = std::make_shared<dcps::BuiltinSinks>();
  (*runtime)->install_builtin_sinks(sinks);
  std::this_thread::sleep_for(std::chrono::milliseconds(duration_ms));
  // Taken while the runtime still runs, so the cache and the samples describe the same moment.
  TakenSamples samples{.participants = sinks->participant->take(),
                       .publications = sinks->publication->take(),
                       .subscriptions = sinks->subscription->take()};
  auto view = build_domain_view(samples, (*runtime)->discovered_participants(), filter);
  if (!types) return view;
  for (auto& [name, topic] : view.topics) {
    for (const auto& writer : topic.writers) {
      const auto fetched = (*runtime)->writer_type(writer.guid);
      if (!fetched) continue;
      auto schema = tools::type_schema(*fetched);
      const bool known = std::ranges::any_of(
          topic.types, [&](const auto& t) { return t.type_identifier == schema.type_identifier; });
      if (!known) topic.types.push_back(std::move(schema));
    }
  }
  return view;
}

}  // namespace nimbrel::discover

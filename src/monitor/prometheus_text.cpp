#include "monitor/prometheus_text.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string_view>
#include <vector>

namespace nimbrel::monitor {
namespace {

bool valid_name(std::string_view name, bool colon_allowed) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  return std::ranges::all_of(name, [&](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           (colon_allowed && c == ':');
  });
}

std::string escaped(std::string_view text, bool quote) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (quote && c == '"') {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out;
}

// `{a="1",b="2"}`, with `extra` (already rendered) last; empty when there is nothing to show.
// Built by appending: g++ 12 warns falsely about chains of operator+ here.
std::string label_text(const Labels& labels, const std::string& extra = {}) {
  std::string out;
  const auto next = [&] { out.append(out.empty() ? "{" : ","); };
  for (const auto& [key, value] : labels.pairs()) {
    next();
    out.append(key).append("=\"").append(escaped(value, true)).append("\"");
  }
  if (!extra.empty()) {
    next();
    out.append(extra);
  }
  if (!out.empty()) out.append("}");
  return out;
}

bool valid_labels(const Labels& labels) {
  return std::ranges::all_of(labels.pairs(), [](const auto& pair) {
    return valid_name(pair.first, false) && pair.first != "le";
  });
}

std::string bound_text(double bound) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", bound);
  return buf;
}

struct Family {
  const char* type = nullptr;
  std::vector<std::pair<std::string, std::string>> lines;  // sorted by the label text
};

}  // namespace

std::string to_prometheus_text(Registry& registry) {
  const Registry::Snapshot snap = registry.snapshot();
  std::map<std::string, Family> families;
  // Each series adds its lines under its family; the sort key keeps a histogram's lines together.
  const auto add = [&](const MetricKey& key, const char* type, std::string lines) {
    if (!valid_name(key.name, true) || !valid_labels(key.labels)) return;
    Family& family = families[key.name];
    if (family.type == nullptr) family.type = type;
    if (family.type != std::string_view(type)) return;
    family.lines.emplace_back(label_text(key.labels), std::move(lines));
  };
  for (const auto& [key, counter] : snap.counters)
    add(key, "counter", key.name + label_text(key.labels) + " " + std::to_string(counter->value()));
  for (const auto& [key, gauge] : snap.gauges)
    add(key, "gauge", key.name + label_text(key.labels) + " " + std::to_string(gauge->value()));
  for (const auto& [key, histogram] : snap.histograms) {
    std::string lines;
    std::uint64_t cumulative = 0;
    const auto& bounds = LabeledHistogram::upper_bounds;
    for (std::size_t i = 0; i <= bounds.size(); ++i) {
      cumulative += histogram->bucket_count(i);
      const std::string le = i < bounds.size() ? bound_text(bounds[i]) : "+Inf";
      lines += key.name + "_bucket" + label_text(key.labels, "le=\"" + le + "\"") + " " +
               std::to_string(cumulative) + "\n";
    }
    lines += key.name + "_count" + label_text(key.labels) + " " + std::to_string(cumulative);
    add(key, "histogram", std::move(lines));
  }

  std::string out;
  for (auto& [name, family] : families) {
    if (auto help = snap.help.find(name); help != snap.help.end())
      out += "# HELP " + name + " " + escaped(help->second, false) + "\n";
    out += "# TYPE " + name + " " + family.type + "\n";
    std::ranges::sort(family.lines);
    for (const auto& [labels, lines] : family.lines)
      out += lines + "\n";
  }
  return out;
}

}  // namespace nimbrel::monitor

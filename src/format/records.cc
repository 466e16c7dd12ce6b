#include "format/records.h"

#include <unistd.h>

#include <charconv>

namespace morvex::format {

std::string host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

namespace {

constexpr std::string_view kDroppedPrefix = "morvex: ";
constexpr std::string_view kDroppedSuffix = " events dropped";

}  // namespace

std::string dropped_name(uint64_t count) {
  std::string name(kDroppedPrefix);
  name += std::to_string(count);
  name += kDroppedSuffix;
  return name;
}

std::optional<uint64_t> parse_dropped_name(std::string_view name) {
  // The prefix and suffix overlap in "morvex: events dropped": check the
  // length first.
  if (name.size() <= kDroppedPrefix.size() + kDroppedSuffix.size() ||
      !name.starts_with(kDroppedPrefix) || !name.ends_with(kDroppedSuffix)) {
    return std::nullopt;
  }
  const std::string_view digits = name.substr(
      kDroppedPrefix.size(), name.size() - kDroppedPrefix.size() - kDroppedSuffix.size());
  uint64_t count = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return count;
}

}  // namespace morvex::format

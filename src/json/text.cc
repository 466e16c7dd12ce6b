#include "json/text.h"

#include <algorithm>

namespace morvex::json {

Value& Value::set(std::string key, Value value) {
  auto& members = std::get<Object>(v_);
  // std::string compares its chars as unsigned char: byte-wise order.
  auto at =
      std::lower_bound(members.begin(), members.end(), key,
                       [](const auto& member, const std::string& k) { return member.first < k; });
  if (at != members.end() && at->first == key) {
    at->second = std::move(value);
  } else {
    members.emplace(at, std::move(key), std::move(value));
  }
  return *this;
}

void Value::write_to(std::string& out) const {
  if (const auto* n = std::get_if<uint64_t>(&v_)) {
    push_u64(out, *n);
  } else if (const auto* s = std::get_if<std::string>(&v_)) {
    push_json_string(out, *s);
  } else {
    out.push_back('{');
    bool first = true;
    for (const auto& [key, value] : std::get<Object>(v_)) {
      if (!first) out.push_back(',');
      first = false;
      push_json_string(out, key);
      out.push_back(':');
      value.write_to(out);
    }
    out.push_back('}');
  }
}

}  // namespace morvex::json

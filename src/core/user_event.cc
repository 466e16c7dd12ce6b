#include "core/user_event.h"

#include <cstring>

namespace morvex::core {

namespace {

class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : p_(bytes) {}
  template <class T>
  bool get(T& v) {
    if (p_.size() < sizeof v) return false;
    std::memcpy(&v, p_.data(), sizeof v);
    p_.remove_prefix(sizeof v);
    return true;
  }
  bool text(size_t n, std::string_view& out) {
    if (p_.size() < n) return false;
    out = p_.substr(0, n);
    p_.remove_prefix(n);
    return true;
  }

 private:
  std::string_view p_;
};

}  // namespace

PayloadWriter::PayloadWriter(std::string_view name) {
  if (name.size() > UINT16_MAX) too_large_ = true;
  put_int(static_cast<uint16_t>(name.size()));
  put(name.data(), name.size());
  count_at_ = bytes_.size();
  put_int(uint8_t{0});
}

void PayloadWriter::put(const void* data, size_t n) {
  if (bytes_.size() + n > kMaxPayloadBytes) {
    too_large_ = true;
    return;
  }
  bytes_.append(static_cast<const char*>(data), n);
}

void PayloadWriter::add(std::string_view key, const UserValue& value) {
  auto& count = reinterpret_cast<uint8_t&>(bytes_[count_at_]);
  if (too_large_ || count == UINT8_MAX || key.size() > UINT16_MAX) {
    too_large_ = true;
    return;
  }
  ++count;
  put_int(static_cast<uint16_t>(key.size()));
  put(key.data(), key.size());
  put_int(static_cast<uint8_t>(value.type));
  switch (value.type) {
    case UserValue::Type::None:
      break;
    case UserValue::Type::Bool:
      put_int(static_cast<uint8_t>(value.i != 0));
      break;
    case UserValue::Type::Int:
      put_int(value.i);
      break;
    case UserValue::Type::Double:
      put_int(value.d);
      break;
    case UserValue::Type::Str:
      if (value.s.size() > UINT32_MAX) too_large_ = true;
      put_int(static_cast<uint32_t>(value.s.size()));
      put(value.s.data(), value.s.size());
      break;
  }
}

std::optional<std::vector<uint64_t>> PayloadWriter::words() const {
  if (too_large_) return std::nullopt;
  std::vector<uint64_t> w((bytes_.size() + 7) / 8, 0);
  std::memcpy(w.data(), bytes_.data(), bytes_.size());
  return w;
}

bool decode_payload(std::string_view bytes, UserPayload& out) {
  Cursor c(bytes);
  uint16_t name_len = 0;
  uint8_t count = 0;
  if (!c.get(name_len) || !c.text(name_len, out.name) || !c.get(count)) return false;
  out.args.clear();
  for (uint8_t k = 0; k < count; ++k) {
    UserArg a;
    uint16_t key_len = 0;
    uint8_t type = 0;
    if (!c.get(key_len) || !c.text(key_len, a.key) || !c.get(type)) return false;
    a.value.type = static_cast<UserValue::Type>(type);
    switch (a.value.type) {
      case UserValue::Type::None:
        break;
      case UserValue::Type::Bool: {
        uint8_t b = 0;
        if (!c.get(b)) return false;
        a.value.i = b != 0;
        break;
      }
      case UserValue::Type::Int:
        if (!c.get(a.value.i)) return false;
        break;
      case UserValue::Type::Double:
        if (!c.get(a.value.d)) return false;
        break;
      case UserValue::Type::Str: {
        uint32_t n = 0;
        if (!c.get(n) || !c.text(n, a.value.s)) return false;
        break;
      }
      default:
        return false;
    }
    out.args.push_back(a);
  }
  return true;
}

std::string_view payload_bytes(std::span<const Event> events, size_t at, std::string& buf) {
  size_t n = payload_records(events, at);
  buf.resize(n * 8);
  for (size_t k = 0; k < n; ++k) std::memcpy(buf.data() + 8 * k, &events[at + 1 + k].ts, 8);
  return buf;
}

}  // namespace morvex::core

// Test doubles and helpers shared by the writer and pipeline tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/event.h"
#include "core/output.h"
#include "core/sink.h"
#include "core/user_event.h"

namespace morvex::test {

// "0a 2b 40 ..." for comparing bytes against tables of hex strings.
inline std::string hex(std::span<const uint8_t> bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : bytes) {
    if (!s.empty()) s += ' ';
    s += kHex[b >> 4];
    s += kHex[b & 15];
  }
  return s;
}

// A fresh temporary file, removed with the object.
class TraceFile {
 public:
  TraceFile() {
    path_ = ::testing::TempDir() + "morvex_test_XXXXXX";
    int fd = ::mkstemp(path_.data());
    EXPECT_GE(fd, 0);
    ::close(fd);
  }
  ~TraceFile() { ::unlink(path_.c_str()); }
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  const std::string& path() const { return path_; }
  core::SharedFile open() { return std::move(core::SharedFile::open(path_, true).value()); }
  std::vector<uint8_t> bytes() const {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::string contents() const {
    std::vector<uint8_t> b = bytes();
    return {b.begin(), b.end()};
  }
  std::string hex_contents() const { return hex(bytes()); }

 private:
  std::string path_;
};

// Code descriptions from a map; counts the lookups.
class FakeCode : public core::CodeLookup {
 public:
  std::map<uint32_t, core::CodeInfo> infos;
  mutable int calls = 0;
  std::optional<core::CodeInfo> code(uint32_t id) const override {
    ++calls;
    auto it = infos.find(id);
    if (it == infos.end()) return std::nullopt;
    return it->second;
  }
};

// Thread names from a map; counts the name lookups.
class FakeThreads : public core::ThreadNames {
 public:
  std::map<uint32_t, std::string> names;
  mutable int calls = 0;
  std::optional<std::string> name(uint32_t tid) const override {
    ++calls;
    auto it = names.find(tid);
    if (it == names.end()) return std::nullopt;
    return it->second;
  }
  std::vector<std::pair<uint32_t, std::string>> snapshot() const override {
    return {names.begin(), names.end()};
  }
};

inline core::Event ev(uint64_t ts, uint32_t tid, uint8_t kind, uint32_t code) {
  return {ts, tid, core::pack_word(kind, code)};
}
inline core::Event ev(uint64_t ts, uint32_t tid, core::EventKind kind, uint32_t code) {
  return ev(ts, tid, static_cast<uint8_t>(kind), code);
}

// A user event as the serializer hands it on: the header, then its payload.
inline std::vector<core::Event> user_event(uint64_t ts, uint32_t tid, core::EventKind kind,
                                           std::string_view name,
                                           const std::vector<core::UserArg>& args = {}) {
  core::PayloadWriter w(name);
  for (const core::UserArg& a : args) w.add(a.key, a.value);
  std::vector<uint64_t> words = *w.words();
  std::vector<core::Event> out{ev(ts, tid, kind, static_cast<uint32_t>(words.size()))};
  for (uint64_t word : words) out.push_back({word, tid, 0});
  return out;
}

inline void append(std::vector<core::Event>& to, const std::vector<core::Event>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

}  // namespace morvex::test

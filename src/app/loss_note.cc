#include "app/loss_note.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace morvex::app {

void LossTally::add(const core::LossCounts& c, bool whole) {
  counts += c;
  ++processes;
  lossy += c.lost() != 0;
  complete &= whole;
}

std::string tally_line(uint32_t pid, const core::LossCounts& c, bool whole) {
  return std::to_string(pid) + " " + std::to_string(c.recorded) + " " + std::to_string(c.behind) +
         " " + std::to_string(c.unwritten) + " " + (whole ? "1" : "0") + "\n";
}

namespace {

// The numbers of one line, or nothing when it is not five of them.
std::optional<std::vector<uint64_t>> numbers(std::string_view line) {
  std::vector<uint64_t> out;
  const char* p = line.data();
  const char* end = p + line.size();
  while (p != end) {
    if (!out.empty()) {
      if (*p != ' ') return std::nullopt;
      ++p;
    }
    uint64_t n = 0;
    auto [next, ec] = std::from_chars(p, end, n);
    if (ec != std::errc()) return std::nullopt;
    out.push_back(n);
    p = next;
  }
  if (out.size() != 5 || out[4] > 1) return std::nullopt;
  return out;
}

}  // namespace

void add_tally_lines(std::string_view text, LossTally& into) {
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    if (nl == std::string_view::npos) return;  // cut short
    std::optional<std::vector<uint64_t>> n = numbers(text.substr(0, nl));
    text.remove_prefix(nl + 1);
    if (!n) continue;
    into.add({(*n)[1], (*n)[2], (*n)[3]}, (*n)[4] == 1);
  }
}

std::optional<std::string> loss_line(const LossTally& tally, std::string_view file,
                                     bool lossless) {
  const core::LossCounts& c = tally.counts;
  if (c.lost() == 0) return std::nullopt;
  std::string line = "morvex: ";
  if (!tally.complete) line += "at least ";
  // A count that lost a process's tail can fall short of what it lost.
  line += std::to_string(c.lost()) + " of " + std::to_string(std::max(c.recorded, c.lost())) +
          " events dropped in " + std::string(file);
  if (tally.processes > 1) {
    line += " by " + std::to_string(tally.lossy) + " of " + std::to_string(tally.processes) +
            " processes";
  }
  const char* behind = lossless ? "the lossless wait was interrupted" : "the writers fell behind";
  const char* unwritten = "the stop was interrupted before they were written";
  if (c.unwritten == 0) {
    line += std::string(" (") + behind + ")";
  } else if (c.behind == 0) {
    line += std::string(" (") + unwritten + ")";
  } else {
    line += " (" + std::to_string(c.behind) + " as " + behind + ", " +
            std::to_string(c.unwritten) + " as " + unwritten + ")";
  }
  if (!lossless && c.behind != 0) line += "; --lossless keeps every event";
  return line;
}

}  // namespace morvex::app

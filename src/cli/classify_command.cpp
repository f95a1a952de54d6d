// vellumark-cli classify SOURCE [--range FIRST-LAST] [--json] [--quiet]: the type code of
// every sector of a range, as the first pass of a scan sees it, and the counts by code.

#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/text_table.h"
#include "cli/cli_support.h"
#include "cli/commands.h"
#include "scan/progress.h"
#include "scan/read_ahead.h"
#include "scan/sector_classifier.h"
#include "scan/type_codes.h"

namespace vellumark::cli {

namespace {

struct ClassifyOptions {
  std::string source;
  std::string range;
  bool json = false;
  bool quiet = false;
};

// stdout through one large buffer: a listing may hold millions of lines.
class BufferedOut {
 public:
  BufferedOut() { buf_.reserve(kFlushAt + 256); }
  ~BufferedOut() { flush(); }
  BufferedOut(const BufferedOut&) = delete;
  BufferedOut& operator=(const BufferedOut&) = delete;

  BufferedOut& operator<<(std::string_view text) {
    buf_.append(text);
    if (buf_.size() >= kFlushAt) flush();
    return *this;
  }
  BufferedOut& operator<<(std::int64_t v) {
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, v);
    return *this << std::string_view(digits, static_cast<std::size_t>(end - digits));
  }
  BufferedOut& operator<<(std::uint64_t v) { return *this << static_cast<std::int64_t>(v); }
  BufferedOut& operator<<(unsigned v) { return *this << static_cast<std::int64_t>(v); }
  BufferedOut& operator<<(char c) { return *this << std::string_view(&c, 1); }

  // Right-aligns in a field of `width` characters.
  BufferedOut& padded(std::string_view text, std::size_t width) {
    if (text.size() < width) buf_.append(width - text.size(), ' ');
    return *this << text;
  }

  // Called before each write, so a progress line on the same terminal can step aside.
  void beforeWrite(std::function<void()> hook) { beforeWrite_ = std::move(hook); }

  void flush() {
    if (buf_.empty()) return;
    if (beforeWrite_) beforeWrite_();
    if (std::fwrite(buf_.data(), 1, buf_.size(), stdout) != buf_.size()) failed_ = true;
    buf_.clear();
  }
  [[nodiscard]] bool finish() {
    flush();
    return std::fflush(stdout) == 0 && !failed_ && !std::ferror(stdout);
  }

 private:
  static constexpr std::size_t kFlushAt = 64 * 1024;
  std::string buf_;
  bool failed_ = false;
  std::function<void()> beforeWrite_;
};

// "NN.NN%" on stderr, refreshed at most every 200 ms, and only on a terminal.
class ProgressLine {
 public:
  ProgressLine(std::int64_t total) : total_(total), enabled_(stderrIsTerminal()), last_(Clock::now()) {}
  void maybeShow(std::int64_t done) {
    if (!enabled_) return;
    auto now = Clock::now();
    if (now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    std::cerr << "\rClassifying: " << formatPercent(total_, done) << std::flush;
    shown_ = true;
  }
  void clear() {
    if (!shown_) return;
    std::cerr << "\r\033[K" << std::flush;
    shown_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  std::int64_t total_;
  bool enabled_;
  Clock::time_point last_;
  bool shown_ = false;
};

struct SectorRun {
  std::int64_t first = 0;
  std::int64_t last = 0;
};

struct ClassifyTotals {
  std::array<std::uint64_t, 256> byCode{};
  std::int64_t classified = 0;
  std::int64_t unreadable = 0;
  std::vector<SectorRun> unreadableRuns;

  void addUnreadable(std::int64_t s) {
    ++unreadable;
    if (!unreadableRuns.empty() && unreadableRuns.back().last + 1 == s) {
      unreadableRuns.back().last = s;
    } else {
      unreadableRuns.push_back({s, s});
    }
  }
};

// Reads one sector of the range into its own buffer. False when it cannot be read at all.
class RangeReader {
 public:
  explicit RangeReader(ScanState& state) : buffer_(state.geometry.bytesPerSector), reader_(state) {}

  [[nodiscard]] bool read(std::int64_t s) { return reader_.read(s, buffer_); }
  [[nodiscard]] std::span<const std::uint8_t> sector() const { return buffer_; }

 private:
  std::vector<std::uint8_t> buffer_;
  SectorWalkReader reader_;
};

void writeSectorLine(BufferedOut& out, bool json, bool& firstJsonItem, std::int64_t s, std::uint8_t code) {
  if (json) {
    out << (firstJsonItem ? "\n" : ",\n") << "  {\"sector\":" << s << ",\"code\":" << unsigned{code}
        << ",\"name\":\"" << typeCodeName(code) << "\"}";
    firstJsonItem = false;
  } else {
    out << s << ' ' << unsigned{code} << ' ' << typeCodeName(code) << '\n';
  }
}

ClassifyTotals classifyRange(ScanState& state, SectorRange range, const ClassifyOptions& opt, BufferedOut& out) {
  ClassifyTotals totals;
  RangeReader reader(state);
  ProgressLine progress(range.last - range.first + 1);
  out.beforeWrite([&progress] { progress.clear(); });
  const bool listSectors = !opt.quiet;
  bool firstJsonItem = true;
  constexpr std::int64_t kProgressStride = 4096;

  for (std::int64_t s = range.first; s <= range.last; ++s) {
    if (((s - range.first) % kProgressStride) == 0) progress.maybeShow(s - range.first);
    if (!reader.read(s)) {
      totals.addUnreadable(s);
      continue;
    }
    const std::uint8_t code = classifySector(reader.sector());
    ++totals.byCode[code];
    ++totals.classified;
    if (code != kTypeNone && listSectors) writeSectorLine(out, opt.json, firstJsonItem, s, code);
  }
  progress.clear();
  out.beforeWrite(nullptr);
  if (opt.json && listSectors) out << (firstJsonItem ? "]" : "\n]");
  return totals;
}

void writeTextSummary(BufferedOut& out, SectorRange range, const ClassifyTotals& totals) {
  out << "Sectors " << range.first << '-' << range.last << ": " << totals.classified << " classified, "
      << totals.unreadable << " unreadable\n";
  for (const SectorRun& run : totals.unreadableRuns)
    out << "Unreadable: " << run.first << '-' << run.last << '\n';
  out << "Code  Name            Sectors\n";
  for (unsigned code = 1; code < totals.byCode.size(); ++code) {
    if (totals.byCode[code] == 0) continue;
    std::string name(typeCodeName(static_cast<std::uint8_t>(code)));
    name.resize(14, ' ');
    out.padded(std::to_string(code), 4) << "  " << name;
    out.padded(std::to_string(totals.byCode[code]), 9) << '\n';
  }
}

void writeJsonSummary(BufferedOut& out, const ClassifyTotals& totals) {
  out << ",\n\"classified\":" << totals.classified << ",\n\"unreadable\":" << totals.unreadable
      << ",\n\"unreadableRuns\":[";
  bool first = true;
  for (const SectorRun& run : totals.unreadableRuns) {
    out << (first ? "" : ",") << "{\"first\":" << run.first << ",\"last\":" << run.last << '}';
    first = false;
  }
  out << "],\n\"counts\":[";
  first = true;
  for (unsigned code = 1; code < totals.byCode.size(); ++code) {
    if (totals.byCode[code] == 0) continue;
    out << (first ? "\n" : ",\n") << "  {\"code\":" << code << ",\"name\":\""
        << typeCodeName(static_cast<std::uint8_t>(code)) << "\",\"sectors\":" << totals.byCode[code] << '}';
    first = false;
  }
  out << (first ? "]" : "\n]") << "\n}\n";
}

// The range to classify: the whole source unless --range is given. Empty when invalid.
std::optional<SectorRange> chooseRange(const ScanState& state, const std::string& text) {
  if (text.empty()) return SectorRange{0, state.geometry.lastSector};
  auto r = parseSectorRange(text);
  if (!r || r->first > r->last || r->last > state.geometry.lastSector) return std::nullopt;
  return r;
}

int runClassify(const ClassifyOptions& opt) {
  ScanState state;
  if (!openForCommand(state, opt.source)) return kExitFailure;
  auto range = chooseRange(state, opt.range);
  if (!range) {
    std::cerr << uiText(23) << "\n";
    return kExitBadInput;
  }
  state.scanStartSector = range->first;
  state.scanEndSector = range->last;
  state.scanLength = range->last - range->first + 1;

  BufferedOut out;
  if (opt.json) {
    out << "{\"source\":" << jsonString(opt.source) << ",\n\"bytesPerSector\":" << unsigned{state.geometry.bytesPerSector}
        << ",\n\"first\":" << range->first << ",\n\"last\":" << range->last;
    if (!opt.quiet) out << ",\n\"sectors\":[";
  }
  ClassifyTotals totals = classifyRange(state, *range, opt, out);
  if (opt.json) {
    writeJsonSummary(out, totals);
  } else {
    if (!opt.quiet && static_cast<std::uint64_t>(totals.classified) != totals.byCode[kTypeNone]) out << '\n';
    writeTextSummary(out, *range, totals);
  }
  if (!out.finish()) {
    std::cerr << "vellumark-cli: cannot write the listing\n";
    return kExitFailure;
  }
  if (totals.unreadable > 0)
    std::cerr << "vellumark-cli: " << totals.unreadable << " sector(s) could not be read and were skipped\n";
  return kExitOk;
}

}  // namespace

void addClassifyCommand(CLI::App& app, int& exitCode) {
  auto opt = std::make_shared<ClassifyOptions>();
  auto* cmd = app.add_subcommand("classify", "List what begins in each sector of SOURCE, and the counts by type");
  cmd->add_option("source", opt->source, "Block device or image file")->required();
  cmd->add_option("--range", opt->range, "Sectors FIRST-LAST (inclusive); the whole source when absent");
  cmd->add_flag("--json", opt->json, "Write JSON for machines");
  cmd->add_flag("--quiet", opt->quiet, "Write only the counts, not one line per sector");
  cmd->callback([opt, &exitCode] { exitCode = runClassify(*opt); });
}

}  // namespace vellumark::cli

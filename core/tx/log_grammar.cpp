#include "core/tx/log_grammar.hpp"

#include "codec/log_line.hpp"

namespace brisquel::tx {
namespace {

constexpr std::string_view kProgram = "Program ";
constexpr std::string_view kInvoke = "invoke";
constexpr std::string_view kFailed = "failed:";
constexpr std::string_view kTruncated = "Log truncated";
// Deeper than anything the walk accepts, and short enough that no parse overflows.
constexpr std::size_t kMaxDepthDigits = 4;

static_assert(codec::kLogPrefix.starts_with(kProgram) && codec::kDataPrefix.starts_with(kProgram));

// The depth in " [<digits>]", or 0 when `text` is not exactly that.
std::uint32_t parse_depth(std::string_view text) {
  if (text.size() < 4 || text.size() > 3 + kMaxDepthDigits || !text.starts_with(" [") || !text.ends_with(']')) return 0;
  std::uint32_t depth = 0;
  for (char c : text.substr(2, text.size() - 3)) {
    if (c < '0' || c > '9') return 0;
    depth = depth * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return depth;
}

LogLine line_of(LineKind kind, std::string_view program = {}, std::uint32_t depth = 0) {
  LogLine line;
  line.kind = kind;
  line.program = program;
  line.depth = depth;
  return line;
}

}  // namespace

LogLine classify_log_line(std::string_view line) {
  if (!line.starts_with(kProgram)) return line_of(line == kTruncated ? LineKind::Truncated : LineKind::Other);
  // The same prefixes as the log decoder's, so a line is an event line exactly when it would read it.
  if (line.starts_with(codec::kDataPrefix) || line.starts_with(codec::kLogPrefix)) return line_of(LineKind::Payload);
  const std::string_view rest = line.substr(kProgram.size());
  const std::size_t space = rest.find(' ');
  if (space == std::string_view::npos) return {};
  const std::string_view program = rest.substr(0, space);
  const std::string_view verb = rest.substr(space + 1);
  if (verb == "success") return line_of(LineKind::Exit, program);
  if (verb.starts_with(kFailed)) {
    std::string_view reason = verb.substr(kFailed.size());
    if (reason.starts_with(' ')) reason.remove_prefix(1);
    LogLine failed = line_of(LineKind::Exit, program);
    failed.failed = true;
    failed.reason = reason;
    return failed;
  }
  if (verb.starts_with(kInvoke)) {
    const std::uint32_t depth = parse_depth(verb.substr(kInvoke.size()));
    if (depth == 0 || program.empty()) return line_of(LineKind::Malformed);
    return line_of(LineKind::Invoke, program, depth);
  }
  return {};
}

}  // namespace brisquel::tx

#include "core/tx/log_grammar.hpp"

#include <bit>
#include <cstdint>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

// Where the first space is, as find(' '): after "Program " comes an address
// of 32 to 44 characters, and a call of memchr per line costs more than
// looking at its first 48 characters at once.
std::size_t first_space(std::string_view text) {
#ifdef __SSE2__
  constexpr std::size_t kSeen = 48;
  if (text.size() >= kSeen) {
    const __m128i space = _mm_set1_epi8(' ');
    auto spaces = [&](std::size_t at) {
      const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + at));
      return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, space))));
    };
    const std::uint64_t found = spaces(0) | spaces(16) << 16 | spaces(32) << 32;
    if (found != 0) return static_cast<std::size_t>(std::countr_zero(found));
    return text.find(' ', kSeen);
  }
#endif
  return text.find(' ');
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
  const std::size_t space = first_space(rest);
  if (space == std::string_view::npos) return {};
  const std::string_view program = rest.substr(0, space);
  const std::string_view verb = rest.substr(space + 1);
  // Told apart by their first letter before any compare: most lines of a
  // transaction are invokes, exits and "consumed" lines.
  switch (verb.empty() ? '\0' : verb[0]) {
    case 's':
      if (verb == "success") return line_of(LineKind::Exit, program);
      break;
    case 'f':
      if (verb.starts_with(kFailed)) {
        std::string_view reason = verb.substr(kFailed.size());
        if (reason.starts_with(' ')) reason.remove_prefix(1);
        LogLine failed = line_of(LineKind::Exit, program);
        failed.failed = true;
        failed.reason = reason;
        return failed;
      }
      break;
    case 'i':
      if (verb.starts_with(kInvoke)) {
        const std::uint32_t depth = parse_depth(verb.substr(kInvoke.size()));
        if (depth == 0 || program.empty()) return line_of(LineKind::Malformed);
        return line_of(LineKind::Invoke, program, depth);
      }
      break;
    default: break;
  }
  return {};
}

}  // namespace brisquel::tx

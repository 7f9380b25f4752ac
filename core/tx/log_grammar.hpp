// The runtime's log lines that shape the invoke stack, told apart with a few
// prefix compares.
#pragma once

#include <cstdint>
#include <string_view>

namespace brisquel::tx {

enum class LineKind : std::uint8_t {
  Other,      // ignored: "consumed", "return", runtime messages, text of no known form
  Invoke,     // "Program <id> invoke [<depth>]"
  Exit,       // "Program <id> success" or "Program <id> failed: <reason>"
  Payload,    // "Program log: ..." or "Program data: ..."
  Truncated,  // "Log truncated": the runtime dropped every later line
  Malformed,  // "Program <id> invoke" followed by anything but " [<depth>]"
};

struct LogLine {
  LineKind kind = LineKind::Other;
  std::string_view program;  // <id> of Invoke and Exit lines
  std::uint32_t depth = 0;   // of Invoke lines, 1 to 9999
  bool failed = false;       // an Exit line that says "failed:"
  std::string_view reason;   // what a failed line says after "failed: "
};

LogLine classify_log_line(std::string_view line);

}  // namespace brisquel::tx

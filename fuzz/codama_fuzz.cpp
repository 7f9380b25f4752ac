// Codama documents and the data they describe, on arbitrary bytes. Up to the
// first NUL byte: a document, read and compiled program by program (a failure
// is one non-empty message). After it: instruction data and account data for
// the six programs' real documents in ../shared/idls/codama, matched and
// decoded into their tables the way calls and accounts are.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "core/compiled_idl.hpp"
#include "core/event_tables.hpp"
#include "core/line_tables.hpp"
#include "idl/codama/reader.hpp"
#include "idl/json.hpp"

namespace {

using brisquel::CompiledIdl;

struct Program {
  std::unique_ptr<const CompiledIdl> idl;
  std::vector<brisquel::EventSchema> instructions, accounts;
};

const std::vector<Program>& programs() {
  static const std::vector<Program> out = [] {
    std::vector<Program> loaded;
    const std::filesystem::path folder = BRISQUEL_SOURCE_DIR "/../shared/idls/codama";
    if (!std::filesystem::is_directory(folder)) return loaded;  // the data part then does nothing
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (entry.path().extension() != ".json") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      auto json = brisquel::json::parse(text.str());
      if (!json) std::abort();
      auto document = brisquel::idl::codama::read_document(*json);
      if (!document) std::abort();
      for (std::size_t p = 0; p < document->programs.size(); ++p) {
        auto idl = CompiledIdl::build(*document, p);
        if (!idl) std::abort();
        Program program;
        for (const auto& ix : (*idl)->instructions()) {
          program.instructions.push_back(brisquel::body_schema(ix.name, ix.args, {}));
        }
        for (const auto& account : (*idl)->accounts()) {
          program.accounts.push_back(brisquel::body_schema(account.name, *account.fields, {}));
        }
        program.idl = std::move(*idl);
        loaded.push_back(std::move(program));
      }
    }
    return loaded;
  }();
  return out;
}

void decode(const brisquel::EventSchema& schema, std::span<const std::uint8_t> body) {
  static const brisquel::TableOptions options;  // the builder keeps a reference
  const auto context = brisquel::line_context(false);
  brisquel::EventTableBuilder table(schema, context, options);
  if (table.add(body)) {
    table.context(0).append(std::int64_t{0});
    table.commit(body.size());
  }
  table.finish();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
  const std::size_t text_size = end == nullptr ? size : static_cast<std::size_t>(end - data);
  auto json = brisquel::json::parse(std::string_view(reinterpret_cast<const char*>(data), text_size));
  if (json && brisquel::idl::codama::is_codama(*json)) {
    auto document = brisquel::idl::codama::read_document(*json);
    if (!document && document.error().empty()) __builtin_trap();
    for (std::size_t p = 0; document && p < document->programs.size(); ++p) {
      auto idl = CompiledIdl::build(*document, p);
      if (!idl && idl.error().empty()) __builtin_trap();
    }
  }
  if (end == nullptr || programs().empty() || size - text_size < 2) return 0;
  const std::uint8_t pick = end[1];
  const Program& program = programs()[pick % programs().size()];
  const std::span<const std::uint8_t> bytes(end + 2, size - text_size - 2);
  if (pick & 0x80) {
    const auto* account = program.idl->match_account(bytes);
    if (account != nullptr && account->unusable.kind == brisquel::Error::Kind::None) {
      decode(program.accounts[static_cast<std::size_t>(account - program.idl->accounts().data())],
             bytes.subspan(std::min<std::size_t>(bytes.size(), account->body_offset)));
    }
  } else if (const auto* ix = program.idl->match_instruction(bytes)) {
    decode(program.instructions[static_cast<std::size_t>(ix - program.idl->instructions().data())],
           bytes.subspan(std::min<std::size_t>(bytes.size(), ix->args_offset)));
  }
  return 0;
}

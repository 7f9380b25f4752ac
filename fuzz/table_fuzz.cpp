// The Arrow side of decoding on arbitrary bytes, without an interpreter: the
// first byte picks an event of fuzz/layouts.json and the table options, the
// rest is a body decoded into that event's table; every few bodies the table
// is finished, exported as a stream and read back to its end.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "core/arrow/export.hpp"
#include "core/event_tables.hpp"
#include "core/line_tables.hpp"
#include "idl/loader.hpp"

namespace {

struct Fixture {
  std::unique_ptr<const brisquel::CompiledIdl> idl;
  brisquel::TableSchemas schemas[4];
};

const Fixture& fixture() {
  static const Fixture f = [] {
    std::ifstream in(BRISQUEL_SOURCE_DIR "/fuzz/layouts.json", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    auto idl = brisquel::idl::convert_idl(text.str());
    if (!idl) std::abort();
    Fixture out;
    out.idl = std::move(*brisquel::CompiledIdl::build(*idl));
    for (int k = 0; k < 4; ++k) {
      brisquel::TableOptions options{(k & 1) != 0, (k & 2) != 0, k == 3};
      out.schemas[k] = std::move(*brisquel::TableSchemas::make(*out.idl, options, brisquel::kLineContextNames));
    }
    return out;
  }();
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return -1;
  const Fixture& f = fixture();
  const auto& schemas = f.schemas[data[0] >> 6];
  const std::size_t event = data[0] % schemas.events.size();
  const auto context = brisquel::line_context(false);
  brisquel::EventTableBuilder table(schemas.events[event], context, schemas.options);
  // The body, then the same body cut at a few places: failed rows must roll back cleanly.
  const std::span<const std::uint8_t> body(data + 1, size - 1);
  for (std::size_t cut : {body.size(), body.size() / 2, body.size() / 3, body.size()}) {
    if (table.add(body.first(cut))) {
      table.context(0).append(std::int64_t{0});
      table.commit(cut);
    }
  }
  ArrowArrayStream stream;
  if (!brisquel::arrow::export_stream(table.finish(), &stream)) std::abort();
  ArrowSchema schema;
  if (stream.get_schema(&stream, &schema) != 0) std::abort();
  schema.release(&schema);
  for (;;) {
    ArrowArray array;
    if (stream.get_next(&stream, &array) != 0) std::abort();
    if (array.release == nullptr) break;
    array.release(&array);
  }
  stream.release(&stream);
  return 0;
}

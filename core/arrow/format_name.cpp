#include "core/arrow/format_name.hpp"

#include <string_view>

namespace brisquel::arrow {

namespace {

constexpr int kMaxDepth = 8;              // deeper levels read as "..."
constexpr std::int64_t kMaxShown = 8;     // struct fields named before "..."
constexpr std::size_t kMaxText = 64;      // of a field name or a format parameter

std::string_view clip(std::string_view text) { return text.substr(0, kMaxText); }

const char* scalar_name(std::string_view f) {
  static constexpr std::pair<std::string_view, const char*> kNames[] = {
      {"n", "null"}, {"b", "bool"}, {"c", "int8"}, {"C", "uint8"}, {"s", "int16"}, {"S", "uint16"},
      {"i", "int32"}, {"I", "uint32"}, {"l", "int64"}, {"L", "uint64"}, {"e", "float16"}, {"f", "float32"},
      {"g", "float64"}, {"z", "binary"}, {"Z", "large_binary"}, {"vz", "binary_view"}, {"u", "utf8"},
      {"U", "large_utf8"}, {"vu", "string_view"}, {"tdD", "date32"}, {"tdm", "date64"},
      {"tts", "time32[s]"}, {"ttm", "time32[ms]"}, {"ttu", "time64[us]"}, {"ttn", "time64[ns]"},
      {"tDs", "duration[s]"}, {"tDm", "duration[ms]"}, {"tDu", "duration[us]"}, {"tDn", "duration[ns]"},
      {"tiM", "interval[months]"}, {"tiD", "interval[day_time]"}, {"tin", "interval[month_day_nano]"},
      {"+s", "struct"}, {"+m", "map"}, {"+l", "list"}, {"+L", "large_list"}, {"+vl", "list_view"},
      {"+vL", "large_list_view"}, {"+r", "run_end_encoded"},
  };
  for (const auto& [format, name] : kNames)
    if (f == format) return name;
  return nullptr;
}

void append(const ArrowSchema* schema, std::string& out, int depth);

// The children of `schema` between angle brackets, struct fields with their names.
void append_children(const ArrowSchema& schema, std::string& out, int depth, bool named) {
  out += '<';
  if (schema.n_children < 0 || (schema.n_children > 0 && schema.children == nullptr)) {
    out += "?>";
    return;
  }
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    if (i > 0) out += ", ";
    if (i == kMaxShown) {
      out += "...";
      break;
    }
    const ArrowSchema* child = schema.children[i];
    if (named && child != nullptr && child->name != nullptr) {
      out += clip(child->name);
      out += ": ";
    }
    append(child, out, depth + 1);
  }
  out += '>';
}

void append_value_type(const ArrowSchema& schema, std::string& out, int depth) {
  const std::string_view f = schema.format;
  if (f == "+m" && schema.n_children == 1 && schema.children != nullptr && schema.children[0] != nullptr &&
      schema.children[0]->n_children == 2 && schema.children[0]->children != nullptr) {
    // A map's one child is the struct of its entries: name the key and value types.
    out += "map";
    append_children(*schema.children[0], out, depth + 1, false);
    return;
  }
  if (const char* name = scalar_name(f)) {
    out += name;
    if (f.starts_with('+')) append_children(schema, out, depth, f == "+s");
    return;
  }
  if (f.starts_with("d:")) {
    // d:precision,scale[,bitwidth]
    std::string_view params = clip(f.substr(2));
    std::string_view bits = "128";
    const std::size_t first = params.find(',');
    const std::size_t second = first == std::string_view::npos ? first : params.find(',', first + 1);
    if (second != std::string_view::npos) {
      bits = params.substr(second + 1);
      params = params.substr(0, second);
    }
    out += "decimal";
    out += bits;
    out += '(';
    for (char c : params) {
      out += c;
      if (c == ',') out += ' ';
    }
    out += ')';
    return;
  }
  if (f.starts_with("w:")) {
    out += "fixed_size_binary(";
    out += clip(f.substr(2));
    out += ')';
    return;
  }
  if (f.starts_with("+w:")) {
    out += "fixed_size_list";
    append_children(schema, out, depth, false);
    out.pop_back();
    out += ", ";
    out += clip(f.substr(3));
    out += '>';
    return;
  }
  if (f.starts_with("ts") && f.size() >= 4 && f[3] == ':') {
    static constexpr std::string_view kUnits[] = {"s", "ms", "us", "ns"};
    const std::size_t unit = std::string_view("smun").find(f[2]);
    out += "timestamp[";
    out += unit == std::string_view::npos ? "?" : kUnits[unit];
    if (f.size() > 4) {
      out += ", ";
      out += clip(f.substr(4));
    }
    out += ']';
    return;
  }
  if (f.starts_with("+ud:") || f.starts_with("+us:")) {
    out += f[2] == 'd' ? "dense_union" : "sparse_union";
    append_children(schema, out, depth, true);
    return;
  }
  out += "unknown('";
  out += clip(f);
  out += "')";
}

void append(const ArrowSchema* schema, std::string& out, int depth) {
  if (depth > kMaxDepth) {
    out += "...";
    return;
  }
  if (schema == nullptr || schema->format == nullptr) {
    out += '?';
    return;
  }
  if (schema->dictionary != nullptr) {
    out += "dictionary<";
    append_value_type(*schema, out, depth);
    out += ", ";
    append(schema->dictionary, out, depth + 1);
    out += '>';
    return;
  }
  append_value_type(*schema, out, depth);
}

}  // namespace

std::string format_name(const ArrowSchema& schema) {
  std::string out;
  append(&schema, out, 0);
  return out;
}

}  // namespace brisquel::arrow

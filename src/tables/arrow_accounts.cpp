#include "src/tables/arrow_accounts.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "codec/base58.hpp"
#include "core/acct/account_data.hpp"
#include "core/arrow/buffer.hpp"

namespace brisquel::tables {
namespace {

using Layout = ArrowAccounts::Layout;

enum Column : std::uint8_t { kPubkey, kOwner, kData, kLamports, kSlot };
constexpr const char* kNames[] = {"pubkey", "owner", "data", "lamports", "slot"};
constexpr std::size_t kKeyText = codec::base58_encoded_capacity(32);  // room for the base58 text of a key

Layout layout_of(Column column, std::string_view format) {
  switch (column) {
    case kPubkey:
    case kOwner:
      if (format == "u") return Layout::kUtf8;
      if (format == "U") return Layout::kLargeUtf8;
      if (format == "w:32") return Layout::kKey;
      return Layout::kNone;
    case kData:
      if (format == "z") return Layout::kBinary;
      if (format == "Z") return Layout::kLargeBinary;
      return Layout::kNone;
    case kLamports:
    case kSlot:
      if (format == "i") return Layout::kI32;
      if (format == "I") return Layout::kU32;
      if (format == "l") return Layout::kI64;
      if (format == "L") return Layout::kU64;
      return Layout::kNone;
  }
  return Layout::kNone;
}

const char* kinds(Column column) {
  switch (column) {
    case kPubkey:
    case kOwner: return "utf8, large_utf8 or fixed_size_binary(32)";
    case kData: return "binary or large_binary";
    default: return "an integer";
  }
}

// One child array as taken: its values at logical rows [0, length).
struct Values {
  Layout layout = Layout::kNone;
  const std::uint8_t* validity = nullptr;
  std::int64_t offset = 0;
  const void* offsets = nullptr;  // int32 or int64; or the fixed-width values
  const std::uint8_t* data = nullptr;
  std::int64_t first = 0, last = 0;  // the offsets' range

  bool valid(std::int64_t i) const { return validity == nullptr || arrow::get_bit(validity, offset + i); }

  template <class O>
  std::span<const std::uint8_t> bytes(std::int64_t i) const {
    const O* o = static_cast<const O*>(offsets) + offset + i;
    const std::int64_t begin = o[0], end = o[1];
    if (begin < first || end < begin || end > last) return {};
    return {data + begin, static_cast<std::size_t>(end - begin)};
  }
  std::span<const std::uint8_t> bytes(std::int64_t i) const {
    return layout == Layout::kUtf8 || layout == Layout::kBinary ? bytes<std::int32_t>(i) : bytes<std::int64_t>(i);
  }

  std::optional<std::uint64_t> number(std::int64_t i) const {
    if (!valid(i)) return std::nullopt;
    const std::int64_t at = offset + i;
    switch (layout) {
      case Layout::kI32: {
        const std::int32_t v = static_cast<const std::int32_t*>(offsets)[at];
        return v < 0 ? std::nullopt : std::optional<std::uint64_t>(static_cast<std::uint64_t>(v));
      }
      case Layout::kU32: return static_cast<const std::uint32_t*>(offsets)[at];
      case Layout::kI64: {
        const std::int64_t v = static_cast<const std::int64_t*>(offsets)[at];
        return v < 0 ? std::nullopt : std::optional<std::uint64_t>(static_cast<std::uint64_t>(v));
      }
      case Layout::kU64: return static_cast<const std::uint64_t*>(offsets)[at];
      default: return std::nullopt;
    }
  }
};

// The child's buffers, checked as far as the C data interface lets us; the
// error says what is wrong.
std::optional<std::string> open_values(const ArrowArray& a, Layout layout, std::int64_t rows, std::int64_t base,
                                       Values& out) {
  out.layout = layout;
  out.offset = a.offset + base;
  if (a.offset < 0 || a.length < 0 || base < 0 || a.length - base < rows) return "a column shorter than its table";
  const bool variable = layout == Layout::kUtf8 || layout == Layout::kLargeUtf8 || layout == Layout::kBinary ||
                        layout == Layout::kLargeBinary;
  if (a.n_buffers != (variable ? 3 : 2) || a.buffers == nullptr) return "a column with the wrong number of buffers";
  out.validity = a.null_count == 0 ? nullptr : static_cast<const std::uint8_t*>(a.buffers[0]);
  out.offsets = a.buffers[1];
  if (rows == 0) return std::nullopt;
  if (out.offsets == nullptr) return "a column without its values";
  if (!variable) return std::nullopt;
  out.data = static_cast<const std::uint8_t*>(a.buffers[2]);
  const bool large = layout == Layout::kLargeUtf8 || layout == Layout::kLargeBinary;
  auto at = [&](std::int64_t i) -> std::int64_t {
    return large ? static_cast<const std::int64_t*>(out.offsets)[i] : static_cast<const std::int32_t*>(out.offsets)[i];
  };
  out.first = at(out.offset);
  out.last = at(out.offset + rows);
  if (out.first < 0 || out.last < out.first) return "a column whose offsets decrease";
  if (out.last > out.first && out.data == nullptr) return "a column without its data";
  return std::nullopt;
}

}  // namespace

ArrowAccounts::Read ArrowAccounts::read(PyObject* obj, const State& state) {
  switch (import_.read(
      obj, [this] { return check_schema(); }, [this](ArrowArray& a) { return take_array(a); }, &state)) {
    case ArrowImport::Read::NotArrow: return Read::NotArrow;
    case ArrowImport::Read::Done: return Read::Done;
    case ArrowImport::Read::Failed: break;
  }
  return Read::Failed;
}

bool ArrowAccounts::check_schema() {
  const ArrowSchema& s = import_.schema();
  if (s.format == nullptr || std::string_view(s.format) != "+s") {
    import_.raise(PyExc_TypeError, std::string("expected a table (struct) of accounts, not Arrow type '") +
                                       (s.format != nullptr ? s.format : "") + "'");
    return false;
  }
  for (std::int64_t i = 0; i < s.n_children; ++i) {
    const ArrowSchema* child = s.children[i];
    if (child == nullptr || child->name == nullptr || child->format == nullptr) continue;
    for (int c = 0; c < 5; ++c) {
      if (std::string_view(child->name) != kNames[c] || child_[c] >= 0) continue;
      const Layout layout = layout_of(static_cast<Column>(c), child->format);
      if (layout == Layout::kNone) {
        import_.raise(PyExc_TypeError, std::string("column '") + kNames[c] + "' must be " +
                                           kinds(static_cast<Column>(c)) + ", not Arrow type '" + child->format + "'");
        return false;
      }
      child_[c] = i;
      layout_[c] = layout;
    }
  }
  for (const Column c : {kOwner, kData}) {
    if (child_[c] < 0) {
      import_.raise(PyExc_TypeError, std::string("the accounts have no column '") + kNames[c] + "'");
      return false;
    }
  }
  return true;
}

bool ArrowAccounts::take_array(const ArrowArray& array) {
  const ArrowSchema& s = import_.schema();
  if (array.n_children != s.n_children || array.children == nullptr || array.length < 0 || array.offset < 0) {
    import_.raise(PyExc_ValueError, "a malformed Arrow array");
    return false;
  }
  const std::int64_t rows = array.length;
  Values values[5];
  for (int c = 0; c < 5; ++c) {
    if (child_[c] < 0) continue;
    const ArrowArray* child = array.children[child_[c]];
    if (child == nullptr) {
      import_.raise(PyExc_ValueError, "a malformed Arrow array");
      return false;
    }
    if (auto error = open_values(*child, layout_[c], rows, array.offset, values[c])) {
      import_.raise(PyExc_ValueError, std::string("column '") + kNames[c] + "': " + *error);
      return false;
    }
  }
  const std::uint8_t* row_validity =
      array.null_count == 0 || array.n_buffers < 1 || array.buffers == nullptr
          ? nullptr
          : static_cast<const std::uint8_t*>(array.buffers[0]);
  char* keys = nullptr;
  if (layout_[kPubkey] == Layout::kKey || layout_[kOwner] == Layout::kKey) {
    keys_.push_back(std::make_unique<char[]>(static_cast<std::size_t>(rows) * 2 * kKeyText));
    keys = keys_.back().get();
  }
  auto text = [&](Column c, std::int64_t i) -> std::string_view {
    const Values& v = values[c];
    if (v.layout == Layout::kNone || !v.valid(i)) return {};
    if (v.layout != Layout::kKey) {
      const auto b = v.bytes(i);
      return {reinterpret_cast<const char*>(b.data()), b.size()};
    }
    const auto* key = static_cast<const std::uint8_t*>(v.offsets) + (v.offset + i) * 32;
    char* into = keys + (i * 2 + (c == kOwner ? 1 : 0)) * kKeyText;
    const auto n = codec::encode_base58(std::span<const std::uint8_t>(key, 32), into);
    return {into, n.value_or(0)};
  };
  views_.reserve(views_.size() + static_cast<std::size_t>(rows));
  for (std::int64_t i = 0; i < rows; ++i) {
    acct::AccountView view;
    if ((row_validity != nullptr && !arrow::get_bit(row_validity, array.offset + i)) || !values[kData].valid(i)) {
      view.state = acct::DataState::kMissing;
    } else {
      view.data = values[kData].bytes(i);
    }
    view.pubkey = text(kPubkey, i);
    view.owner = text(kOwner, i);
    view.lamports = values[kLamports].number(i);
    view.slot = values[kSlot].number(i);
    if (view.data.size() > acct::kMaxAccountBytes) {
      view.state = acct::DataState::kUnreadable;
      view.data = {};
      view.data_error = "account data is more than 10485760 bytes";
    }
    views_.push_back(view);
  }
  return true;
}

}  // namespace brisquel::tables

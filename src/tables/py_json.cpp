#include "src/tables/py_json.hpp"

#include <string_view>

#include "codec/json_text.hpp"
#include "core/json/read_error.hpp"

namespace brisquel::tables {
namespace {

// The reader's own bounds; deeper or larger objects are refused here already
// (a list that holds itself, or one object held many times over, would
// otherwise be written without end).
constexpr int kMaxDepth = 256;
const std::size_t kMaxBytes = json::RpcJsonLimits{}.max_value_bytes;

// Members of transactions and blocks that hold nothing the events need; the
// balances are kept when the balances table is asked for.
bool skipped(std::string_view key, bool balances) {
  static constexpr std::string_view kBalances[] = {
      "preBalances", "postBalances", "preTokenBalances", "postTokenBalances",
  };
  if (key == "rewards" || key == "returnData") return true;
  if (balances) return false;
  for (std::string_view k : kBalances) {
    if (key == k) return true;
  }
  return false;
}

bool text_of(PyObject* str, std::string_view& out) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (utf8 == nullptr) return false;
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

// What one dump carries down: the members to keep, and whether it stopped at
// the nesting bound (then with no exception set: the caller raises its own).
struct Dump {
  bool balances;
  bool too_deep = false;
  bool too_large = false;

  bool room(const std::string& out) {
    too_large = out.size() > kMaxBytes;
    return !too_large;
  }
};

bool dump(PyObject* obj, std::string& out, int depth, Dump& how);

bool dump_int(PyObject* obj, std::string& out) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow == 0) {
    out += std::to_string(v);
    return true;
  }
  // Wider than 64 bits: the value's decimal digits, as json.dumps writes them
  // (not str(), which a subclass may give any text).
  PyRef text(PyNumber_ToBase(obj, 10));
  std::string_view digits;
  if (!text || !text_of(text.get(), digits)) return false;
  out += digits;
  return true;
}

bool dump_dict(PyObject* dict, std::string& out, int depth, Dump& how) {
  // Another thread may change the dict: hold the items while writing them.
  PyRef items(PyDict_Items(dict));
  if (!items) return false;
  out += '{';
  bool first = true;
  for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "transactions: a dict key is not a str but '%.100s'", Py_TYPE(key)->tp_name);
      return false;
    }
    std::string_view k;
    if (!text_of(key, k)) return false;
    if (skipped(k, how.balances)) continue;
    if (!first) out += ',';
    first = false;
    codec::append_json_string(out, k);
    out += ':';
    if (!dump(PyTuple_GET_ITEM(pair, 1), out, depth + 1, how) || !how.room(out)) return false;
  }
  out += '}';
  return true;
}

bool dump_sequence(PyObject* seq, std::string& out, int depth, Dump& how) {
  PyRef items(PySequence_Tuple(seq));  // a list may change under another thread
  if (!items) return false;
  out += '[';
  for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(items.get()); i < n; ++i) {
    if (i != 0) out += ',';
    if (!dump(PyTuple_GET_ITEM(items.get(), i), out, depth + 1, how) || !how.room(out)) return false;
  }
  out += ']';
  return true;
}

bool dump(PyObject* obj, std::string& out, int depth, Dump& how) {
  if (depth > kMaxDepth) {
    how.too_deep = true;
    return false;
  }
  if (obj == Py_None) {
    out += "null";
    return true;
  }
  if (PyBool_Check(obj)) {
    out += obj == Py_True ? "true" : "false";
    return true;
  }
  if (PyLong_Check(obj)) return dump_int(obj, out);
  if (PyUnicode_Check(obj)) {
    std::string_view text;
    if (!text_of(obj, text)) return false;
    codec::append_json_string(out, text);
    return true;
  }
  if (PyFloat_Check(obj)) {
    codec::append_json_float(out, PyFloat_AS_DOUBLE(obj));
    return true;
  }
  if (PyDict_Check(obj)) return dump_dict(obj, out, depth, how);
  if (PyList_Check(obj) || PyTuple_Check(obj)) return dump_sequence(obj, out, depth, how);
  PyErr_Format(PyExc_TypeError, "transactions: '%.100s' object is not JSON data (dict, list, str, int, float, bool, None)",
               Py_TYPE(obj)->tp_name);
  return false;
}

}  // namespace

DumpResult dump_json(PyObject* obj, std::string& out, bool balances) {
  Dump how{balances};
  if (dump(obj, out, 0, how) && how.room(out)) return DumpResult::kDone;
  return how.too_deep ? DumpResult::kTooDeep : how.too_large ? DumpResult::kTooLarge : DumpResult::kFailed;
}

int max_dump_depth() { return kMaxDepth; }
std::size_t max_dump_bytes() { return kMaxBytes; }

}  // namespace brisquel::tables

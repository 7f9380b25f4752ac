// The `logs` argument of a decoding call, converted whole before any line is
// decoded: every item checked and its UTF-8 text made ready.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/arrow/buffer.hpp"
#include "src/arguments.hpp"
#include "src/py_ref.hpp"

namespace brisquel {

// The argument checks of a batch: not a str, and a sequence; false with the
// argument's TypeError set.
bool check_sequence_argument(PyObject* logs);

// Appends strong references to the list's items, taken under its lock.
void snapshot_list(PyObject* list, std::vector<PyRef>& out);

// How many items to make room for when iterating `sequence` (bounded).
bool iteration_length_hint(PyObject* sequence, std::size_t& hint);

// The next item of `iter`, or done; false with the error set (a TypeError
// prefixed as the argument's).
bool next_item(PyObject* iter, PyRef& item, bool& done);

// Calls reserve(n) once with the number of items (or a bounded guess), then
// keep(PyRef item) on each item of a sequence argument, in order: a list's
// items as taken under its lock, any other sequence's as iterated. False
// with the error set, when iterating or `keep` fails.
template <class Reserve, class Keep>
bool for_each_item(PyObject* sequence, Reserve&& reserve, Keep&& keep) {
  if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
    std::vector<PyRef> items;
    if (PyTuple_CheckExact(sequence)) {
      const Py_ssize_t n = PyTuple_GET_SIZE(sequence);
      items.reserve(static_cast<std::size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i) items.push_back(PyRef::borrow(PyTuple_GET_ITEM(sequence, i)));
    } else {
      snapshot_list(sequence, items);
    }
    reserve(items.size());
    for (PyRef& item : items) {
      if (!keep(std::move(item))) return false;
    }
    return true;
  }
  std::size_t hint = 0;
  if (!iteration_length_hint(sequence, hint)) return false;
  reserve(hint);
  PyRef iter(PyObject_GetIter(sequence));
  if (!iter) {
    prefix_argument_error("logs");
    return false;
  }
  for (;;) {
    PyRef item;
    bool done = false;
    if (!next_item(iter.get(), item, done)) return false;
    if (done) return true;
    if (!keep(std::move(item))) return false;
  }
}

class LogBatch {
 public:
  // How the texts may be read afterwards.
  enum class Use : std::uint8_t {
    // By this thread, holding the interpreter lock, while decoding runs no
    // Python code: a list may be read in place.
    Locked,
    // By this thread, holding the lock, while decoding may run Python code.
    LockedRunningPython,
    // With the lock released: every item is held (or its container is
    // immutable and held by the caller) and every non-ASCII text encoded.
    Unlocked,
  };

  // What the conversion gathers besides the items.
  enum class Gather : std::uint8_t {
    Nothing,
    // The payload texts of the lines that may carry an event, read from each
    // str in the pass that checks it: a scan of the lines for events then
    // never comes back to the others.
    EventPayloads,
  };

  LogBatch() = default;
  LogBatch(LogBatch&& o) noexcept;
  LogBatch& operator=(LogBatch&&) = delete;
  LogBatch(const LogBatch&) = delete;
  LogBatch& operator=(const LogBatch&) = delete;
  // Lets go of the items held, with the interpreter lock held.
  ~LogBatch();

  // Whether the batch holds references to its items (let_go_before has work).
  bool holds_items() const { return held_.size() != 0; }
  // Lets go of the items before `end` already, with the interpreter lock
  // held: just after they were read they are still in the cache, where a
  // pass over a million of them at the end would wait on memory for each
  // while the lock is held.
  void let_go_before(std::size_t end);

  // Converts `logs` (a sequence of str, not a str itself); false with the
  // argument's TypeError (or the interpreter's own exception) set.
  bool convert(PyObject* logs, Use use, Gather gather = Gather::Nothing);

  std::size_t size() const { return count_; }
  // Asks nothing of the interpreter: ASCII text is the str's own, and other
  // text was encoded by the conversion.
  std::string_view operator[](std::size_t i) const {
    PyObject* item = items_[i];
    if (PyUnicode_IS_ASCII(item)) [[likely]] {
      return {static_cast<const char*>(PyUnicode_DATA(item)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(item))};
    }
    return encoded(i);
  }
  // With Gather::EventPayloads: the text after the prefix of every line that
  // event_payload_candidate takes, in line order, valid as operator[]'s are.
  std::span<const std::string_view> event_payloads() const {
    return {reinterpret_cast<const std::string_view*>(payloads_.data()), payloads_.size() / sizeof(std::string_view)};
  }

  // Asks for the item at `i` ahead of reading it (no-op past the end): a
  // batch's str objects lie all over the heap.
  void prefetch(std::size_t i) const {
    if (i < count_) __builtin_prefetch(items_[i], 0, 3);
  }
  // Asks for the rest of an ASCII item's text, once its head is in the cache
  // (asked for by prefetch some items before): an event line's text runs
  // over several cache lines, which the hardware does not fetch ahead of a
  // jump to another object.
  void prefetch_text(std::size_t i) const {
    if (i >= count_) return;
    PyObject* item = items_[i];
    if (!PyUnicode_IS_ASCII(item)) return;
    const char* text = static_cast<const char*>(PyUnicode_DATA(item));
    const std::size_t end = std::min<std::size_t>(static_cast<std::size_t>(PyUnicode_GET_LENGTH(item)), 512);
    for (std::size_t at = 64; at < end; at += 64) __builtin_prefetch(text + at, 0, 3);
  }

 private:
  // Checks the item at `i`; false with the argument's error set. Non-ASCII
  // text is encoded now (and cached by the str), so a lone surrogate fails
  // before any line is decoded.
  bool check(PyObject* item, std::size_t i);
  std::string_view encoded(std::size_t i) const;
  // Checks the item at `i` and gathers what was asked of it; false with the
  // argument's error set.
  bool take(PyObject* item, std::size_t i);

  // An immutable container's own items (or a list's, where nothing can
  // change it); every other way goes through for_each_item.
  bool read_in_place(PyObject* const* items, Py_ssize_t count);
  bool hold_list(PyObject* list);
  std::size_t held_count() const { return held_.size() / sizeof(PyObject*); }
  PyObject** held() { return reinterpret_cast<PyObject**>(held_.data()); }
  // Points the batch at the items held.
  void read_held() {
    items_ = held();
    count_ = held_count();
  }

  PyObject* const* items_ = nullptr;
  std::size_t count_ = 0;
  std::size_t let_go_ = 0;  // held items before it were let go
  // Strong references, in pooled pages: a fresh array of a million
  // pointers would fault in every page while the interpreter lock is held.
  arrow::Buffer held_;
  std::vector<std::pair<std::size_t, std::string_view>> encoded_;  // non-ASCII texts, by index
  Gather gather_ = Gather::Nothing;
  arrow::Buffer payloads_;  // std::string_view each, with Gather::EventPayloads
};

}  // namespace brisquel

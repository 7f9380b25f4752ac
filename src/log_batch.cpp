#include "src/log_batch.hpp"

#include <algorithm>
#include <cstring>

#include "core/event_lines.hpp"

namespace brisquel {
namespace {

constexpr const char* kParam = "logs";

}  // namespace

bool check_sequence_argument(PyObject* logs) {
  if (PyUnicode_Check(logs)) {
    PyErr_SetString(PyExc_TypeError, "argument 'logs': Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(logs)) {
    raise_not_instance(kParam, logs, "Sequence");
    return false;
  }
  return true;
}

void snapshot_list(PyObject* list, std::vector<PyRef>& out) {
  // Taken whole under the list's lock, so another thread's change lands
  // entirely before or after it; the items are looked at only afterwards,
  // which may take locks of their own.
  Py_BEGIN_CRITICAL_SECTION(list);
  const Py_ssize_t n = PyList_GET_SIZE(list);
  out.reserve(out.size() + static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) out.emplace_back(Py_NewRef(PyList_GET_ITEM(list, i)));
  Py_END_CRITICAL_SECTION();
}

bool iteration_length_hint(PyObject* sequence, std::size_t& hint) {
  // The length only sizes buffers, and a failure to tell it is ignored unless
  // it is not an ordinary error (KeyboardInterrupt, SystemExit). It comes
  // from Python code and may be a lie: trusting a huge one would abort the
  // process on a failed reservation.
  constexpr Py_ssize_t kMaxTrustedLength = 1 << 16;
  const Py_ssize_t n = PyObject_Size(sequence);
  if (n < 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    hint = 0;
    return true;
  }
  hint = static_cast<std::size_t>(n < kMaxTrustedLength ? n : kMaxTrustedLength);
  return true;
}

bool next_item(PyObject* iter, PyRef& item, bool& done) {
  PyObject* next = nullptr;
  const int got = PyIter_NextItem(iter, &next);
  if (got < 0) {
    prefix_argument_error(kParam);
    return false;
  }
  done = got == 0;
  item = PyRef(next);
  return true;
}

namespace {

// Touching each of a million str objects one after another waits on memory
// at every one; asking for the next ones early keeps the loop, which runs
// with the interpreter lock held, from serialising threads on cache misses.
constexpr std::size_t kAhead = 16;

void prefetch_object(PyObject* object) { __builtin_prefetch(object, 1, 3); }

// The last byte of the longer prefix of an event line in an ASCII str.
constexpr std::size_t kPrefixEnd = sizeof(PyASCIIObject) + codec::kDataPrefix.size() - 1;

}  // namespace

LogBatch::LogBatch(LogBatch&& o) noexcept
    : items_(std::exchange(o.items_, nullptr)),
      count_(std::exchange(o.count_, 0)),
      let_go_(std::exchange(o.let_go_, 0)),
      held_(std::move(o.held_)),
      encoded_(std::move(o.encoded_)),
      gather_(o.gather_),
      payloads_(std::move(o.payloads_)) {}

LogBatch::~LogBatch() { let_go_before(held_count()); }

void LogBatch::let_go_before(std::size_t end) {
  PyObject** held = this->held();
  end = std::min(end, held_count());
  for (std::size_t i = let_go_; i < end; ++i) {
    if (i + kAhead < end) prefetch_object(held[i + kAhead]);
    Py_DECREF(held[i]);
  }
  let_go_ = std::max(let_go_, end);
}

bool LogBatch::check(PyObject* item, std::size_t i) {
  if (!PyUnicode_Check(item)) {
    raise_not_instance(kParam, item, "str");
    return false;
  }
  if (PyUnicode_IS_ASCII(item)) return true;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
  if (utf8 == nullptr) return false;
  encoded_.emplace_back(i, std::string_view(utf8, static_cast<std::size_t>(size)));
  return true;
}

// Inline in the loops that call it: a call per line costs as much as the
// checks it makes.
[[gnu::always_inline]] inline bool LogBatch::take(PyObject* item, std::size_t i) {
  std::string_view text;
  if (PyUnicode_Check(item) && PyUnicode_IS_ASCII(item)) [[likely]] {
    if (gather_ == Gather::Nothing) return true;
    text = {static_cast<const char*>(PyUnicode_DATA(item)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(item))};
  } else {
    if (!check(item, i)) return false;
    if (gather_ == Gather::Nothing) return true;
    text = encoded_.back().second;
  }
  if (const auto payload = event_payload_candidate(text)) payloads_.push(*payload);
  return true;
}

std::string_view LogBatch::encoded(std::size_t i) const {
  // Checked in index order, so sorted.
  const auto at = std::ranges::lower_bound(encoded_, i, {}, &std::pair<std::size_t, std::string_view>::first);
  return at->second;
}

bool LogBatch::convert(PyObject* logs, Use use, Gather gather) {
  if (!check_sequence_argument(logs)) return false;
  gather_ = gather;
  // A tuple never changes, and the caller holds it for the whole call.
  if (PyTuple_CheckExact(logs)) return read_in_place(PySequence_Fast_ITEMS(logs), PyTuple_GET_SIZE(logs));
  if (PyList_CheckExact(logs)) {
    if (use == Use::Locked && kHasInterpreterLock) {
      return read_in_place(PySequence_Fast_ITEMS(logs), PyList_GET_SIZE(logs));
    }
    return hold_list(logs);
  }
  const bool read = for_each_item(
      logs, [&](std::size_t n) { held_.reserve_more(n * sizeof(PyObject*)); },
      [&](PyRef item) {
        if (!take(item.get(), held_count())) return false;
        held_.push(item.release());
        return true;
      });
  read_held();
  return read;
}

bool LogBatch::read_in_place(PyObject* const* items, Py_ssize_t count) {
  const auto n = static_cast<std::size_t>(count);
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) {
      // The object's head and, where an ASCII str's text starts past its
      // cache line, the line that holds the prefix gathering reads.
      prefetch_object(items[i + kAhead]);
      if (gather_ != Gather::Nothing) __builtin_prefetch(reinterpret_cast<const char*>(items[i + kAhead]) + kPrefixEnd, 0, 3);
    }
    if (!take(items[i], i)) return false;
  }
  items_ = items;
  count_ = n;
  return true;
}

bool LogBatch::hold_list(PyObject* list) {
  // One pass under the list's lock takes a reference to every item; the
  // items that are not ASCII str, which may need a lock of their own to be
  // encoded or refused, are checked afterwards, in order, so the first bad
  // item is the one reported. Room is made before the lock is taken (nothing
  // may throw while it is held), again if the list grew meanwhile.
  std::size_t later = SIZE_MAX;  // the first such item
  for (bool taken = false; !taken;) {
    held_.reserve_more(static_cast<std::size_t>(PyList_GET_SIZE(list)) * sizeof(PyObject*));
    Py_BEGIN_CRITICAL_SECTION(list);
    const auto n = static_cast<std::size_t>(PyList_GET_SIZE(list));
    taken = n * sizeof(PyObject*) <= held_.capacity();
    if (taken) {
      PyObject** held = this->held();
      // An empty list may have no item array at all.
      if (n != 0) std::memcpy(held, PySequence_Fast_ITEMS(list), n * sizeof(PyObject*));
      held_.set_size(n * sizeof(PyObject*));
      for (std::size_t i = 0; i < n; ++i) {
        if (i + kAhead < n) prefetch_object(held[i + kAhead]);
        PyObject* item = held[i];
        Py_INCREF(item);
        if (later == SIZE_MAX && (!PyUnicode_Check(item) || !PyUnicode_IS_ASCII(item))) later = i;
      }
    }
    Py_END_CRITICAL_SECTION();
  }
  read_held();
  if (gather_ == Gather::Nothing) {
    for (std::size_t i = later; i < count_; ++i) {
      if (!check(items_[i], i)) return false;
    }
    return true;
  }
  // Gathering reads every line's text anyway: one pass in order, which
  // checks the items from `later` on as above.
  for (std::size_t i = 0; i < count_; ++i) {
    if (i + kAhead < count_) prefetch_object(items_[i + kAhead]);
    if (!take(items_[i], i)) return false;
  }
  return true;
}

}  // namespace brisquel

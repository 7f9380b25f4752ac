// How every Python type of this extension is written: one idiom, one file per type.
//
// - C++ state inline. The type's state is a plain C++ class T stored inside
//   the Python object, right after its header. NativeType<T>::create makes
//   the object with tp_alloc and builds T in it by placement new; dealloc,
//   the type's one tp_dealloc, destroys it. Nothing else owns or frees it.
// - Construction is checked. tp_alloc zero-fills the object, so its `ready`
//   flag is false until T is built; get() raises RuntimeError on an object
//   whose construction did not complete instead of reading its garbage.
// - Immutable types. spec() gives Py_TPFLAGS_IMMUTABLETYPE (and no subclassing):
//   no Python code can replace __new__ or any slot, so only create() makes
//   instances.
// - One binder. Every method takes its arguments through Arguments<N>
//   (src/arguments.hpp), which holds a strong reference to each.
// - One boundary. call() runs a method's body inside guard() (src/panic.hpp):
//   C++ faults become PanicException, bad_alloc aborts.
// - Types live in their module's state (per interpreter); methods find it with
//   PyType_GetModuleByDef.
//
// A type in ten lines:
//
//   struct Counter { std::int64_t start; };
//   using CounterType = NativeType<Counter>;
//   constexpr Parameter kNewParams[] = {required("start")};
//   constexpr Signature kNew{"Counter.__new__()", kNewParams};
//   PyObject* counter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
//     return guard([&]() -> PyObject* {
//       Arguments<1> a;
//       if (!a.bind(kNew, args, kwargs)) return nullptr;
//       const long long start = PyLong_AsLongLong(a[0]);
//       if (start == -1 && PyErr_Occurred()) return nullptr;
//       return CounterType::create(type, Counter{start});
//     });
//   }
//   PyObject* counter_start(PyObject* self, void*) {
//     return CounterType::call(self, [](const Counter& c) { return PyLong_FromLongLong(c.start); });
//   }
//   PyType_Slot slots[] = {{Py_tp_new, (void*)counter_new}, {Py_tp_dealloc, (void*)CounterType::dealloc}, ...};
//   PyType_Spec spec = CounterType::spec("brisquel.Counter", slots);
#pragma once

#include <cstddef>
#include <new>
#include <utility>

#include "src/panic.hpp"
#include "src/py_ref.hpp"

namespace brisquel {

// RuntimeError "<type> object was not constructed".
void raise_not_constructed(PyObject* self);

template <class T>
class NativeType {
 public:
  struct Object {
    PyObject_HEAD
    bool ready;
    alignas(T) unsigned char storage[sizeof(T)];
  };

  static constexpr PyType_Spec spec(const char* name, PyType_Slot* slots, unsigned int flags = 0) {
    return {name, static_cast<int>(sizeof(Object)), 0,
            static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | flags), slots};
  }

  // A new object of `type` holding T(args...); nullptr with the error set
  // when the object cannot be allocated. What T's constructor throws
  // propagates, once the half-made object is freed.
  template <class... Args>
  static PyObject* create(PyTypeObject* type, Args&&... args) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    Object* o = object(self);
    try {
      ::new (static_cast<void*>(o->storage)) T(std::forward<Args>(args)...);
    } catch (...) {
      Py_DECREF(self);
      throw;
    }
    o->ready = true;
    return self;
  }

  // The state of `self`, or nullptr with RuntimeError set when its
  // construction did not complete.
  static T* get(PyObject* self) {
    Object* o = object(self);
    if (!o->ready) [[unlikely]] {
      raise_not_constructed(self);
      return nullptr;
    }
    return state(o);
  }

  // body(T&) -> new reference or nullptr, inside guard(), once the state is
  // known to be there.
  template <class F>
  static PyObject* call(PyObject* self, F&& body) {
    return guard([&]() -> PyObject* {
      T* t = get(self);
      return t != nullptr ? body(*t) : nullptr;
    });
  }

  // The type's tp_dealloc.
  static void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Object* o = object(self);
    if (o->ready) {
      o->ready = false;
      state(o)->~T();
    }
    type->tp_free(self);
    Py_DECREF(type);
  }

 private:
  static Object* object(PyObject* self) { return reinterpret_cast<Object*>(self); }
  static T* state(Object* o) { return std::launder(reinterpret_cast<T*>(o->storage)); }
};

}  // namespace brisquel

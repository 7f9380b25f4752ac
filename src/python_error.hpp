// The text of a Python exception met while decoding, for whoever reads the
// decoder's error.
#pragma once

#include "src/py_ref.hpp"

#include <string>

namespace brisquel {

// "{qualified type name}: {str(exc)}"; ": <exception str() failed>" when
// str() raises. Panics if even the type's name cannot be read.
std::string python_error_text(PyObject* exc);

// The pending exception (a SystemError stands in when none is pending), taken
// from the interpreter: nothing stays pending.
PyRef take_python_error();

// The UTF-8 text of a str; code points UTF-8 cannot hold (lone surrogates) are
// written as U+FFFD. Panics only when the interpreter runs out of memory.
std::string utf8_text_of(PyObject* str);

}  // namespace brisquel

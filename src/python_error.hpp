// Turning a Python exception met during decoding into the decoder's error text,
// so that no exception stays pending.
#pragma once

#include "src/py_ref.hpp"

#include <string>

namespace brisquel {

// Takes the pending exception (a SystemError stands in when none is pending)
// and returns "{qualified type name}: {str(exception)}"; ": <exception str()
// failed>" when str() raises. Panics if even the type's name cannot be read.
std::string take_python_error_text();

// The UTF-8 text of a str; code points UTF-8 cannot hold (lone surrogates) are
// written as U+FFFD. Panics only when the interpreter runs out of memory.
std::string utf8_text_of(PyObject* str);

}  // namespace brisquel

// The Python class EventDecoder ("builtins.EventDecoder").
#pragma once

#include "src/py_ref.hpp"

namespace brisquel {

// Creates the class from its spec, bound to `module`; a new reference or nullptr.
PyObject* create_event_decoder_type(PyObject* module);

}  // namespace brisquel

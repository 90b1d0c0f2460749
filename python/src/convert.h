// Conversion of Python payload dicts into payload trees.
#pragma once

#include "binding.h"
#include "corvane/cbor.h"

namespace corvane::py {

// Converts a payload dict (the record's payload map, at depth 1 under the
// record map) into `out`. On failure the exception is set and false returned.
// Nesting is refused at the decoder's limit, so a dict that contains itself
// fails cleanly instead of exhausting the stack.
bool payload_from_dict(PyObject* dict, PayloadMap* out);

}  // namespace corvane::py

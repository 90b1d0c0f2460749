// The checkpoint argument of verify().
#pragma once

#include <string_view>

#include "binding.h"
#include "corvane/verifier.h"

namespace corvane::py {

inline constexpr std::string_view kCheckpointFormat = "corvane-audit-checkpoint/v1";

// Parses a checkpoint dict (a dict or subclass); false with ArgumentError
// (or the interpreter's error) set on failure.
bool parse_checkpoint(PyObject* dict, Checkpoint* out);

}  // namespace corvane::py

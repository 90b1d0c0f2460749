// The real file system with FaultFs's hooks (fail_pread, on_fsize).
#pragma once

#include "support/fault_fs.h"

namespace corvane::testing {
using HookFs = FaultFs;
}  // namespace corvane::testing

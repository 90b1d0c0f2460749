#include "corvane/format.h"

namespace corvane {

const char* const kCoreVersion = CORVANE_VERSION;

}  // namespace corvane

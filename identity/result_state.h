// The state the result label shows. The values are fixed: other modules store and compare
// them as integers.
#pragma once

namespace kestrel::identity {

enum class ResultState : int { Idle = 0, Busy = 1, Pass = 2, Fail = 3 };

}  // namespace kestrel::identity

// The pipelined driver (see pipeline.hpp).
#include "pipeline.hpp"

namespace quarrin {

Stopped run_pipelined(const CaptureArgs&, Source&, Segment&, FrameRules&, SigintDeferral&) {
    raise(PyExc_NotImplementedError, "pipelined recording");
}

}  // namespace quarrin

// The pipelined driver: a reader thread decodes ahead, the calling thread applies the frame
// rules, a writer thread encodes kept frames and writes their rows.
#pragma once

#include "recording.hpp"

namespace quarrin {

// Runs the frame loop with the three stages; returns why it stopped. The first error of any stage
// is the one raised; no thread outlives the call.
Stopped run_pipelined(const CaptureArgs& a, Source& source, Segment& segment, FrameRules& rules,
                      SigintDeferral& sigint);

}  // namespace quarrin

// One whole recording: early checks, the source, the frame loop inside the protected region and
// the clean-up, with either driver:
//   sequential  read, frame time and the rules, one frame after another (recording.cpp);
//   pipelined   a reader thread, the rules on the calling thread, a writer thread (pipeline.cpp).
#pragma once

#include "recording/rules.hpp"
#include "recording/signals.hpp"
#include "recording/source.hpp"

#include <vector>

namespace quarrin {

enum class Driver { Sequential, Pipelined };

// What a recording did.
struct Outcome {
    long long frames_read = 0;
    long long frames_saved = 0;
    Stopped stopped = Stopped::End;
    std::vector<Written> segments;
    std::vector<Event> events;
    std::vector<std::pair<Ref, Ref>> gaps;  // (lost, back) of a live source; back null: not back
};

// Runs one recording. KeyboardInterrupt ends it with a message (and, with MissingPath::Report,
// FileNotFoundError too); any other error is raised after the clean-up.
Outcome record(const RecordArgs& a, const Mode& mode, Driver driver);

// The pipelined frame loop (pipeline.cpp); returns why it stopped. The first error of any stage is
// the one raised; no thread outlives the call.
Stopped run_pipelined(const RecordArgs& a, Source& source, Segment& segment, FrameRules& rules,
                      SigintDeferral& sigint);

// datetime.now()
Ref now_time();

}  // namespace quarrin

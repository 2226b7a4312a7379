// Runs clean-up steps one after another whatever each does. The first step that raises replaces
// the exception in flight (which becomes its context); later clean-up errors are dropped.
#pragma once

#include "core/pyref.hpp"

namespace quarrin {

class CleanupChain {
public:
    CleanupChain() noexcept : pending_(PendingError::fetch()) {}
    CleanupChain(const CleanupChain&) = delete;
    CleanupChain& operator=(const CleanupChain&) = delete;
    ~CleanupChain() { pending_.restore(); }

    template <typename F>
    void step(F&& body) noexcept {
        if (attempt(body)) return;
        PendingError raised = PendingError::fetch();
        if (replaced_) return;
        replaced_ = true;
        pending_.chain_into(std::move(raised));
    }

private:
    PendingError pending_;
    bool replaced_ = false;
};

}  // namespace quarrin

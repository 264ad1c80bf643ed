// The exported interface's boundary: no exception crosses it.
#pragma once

namespace amirtupt {

// Runs body and returns its result, or `failure` when it throws: each
// exported function is its signature and one call of this.
template <class Result, class Body>
Result guarded(Result failure, Body &&body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

// The same for a body without a result: an exception is swallowed.
template <class Body>
void guarded(Body &&body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

}  // namespace amirtupt

// The exported interface's boundary: no exception crosses it.
#pragma once

namespace amirtupt {

// Runs body and returns its result, or `failure` (as body's result type)
// when it throws: each exported function is its signature and one call of
// this.
template <class Failure, class Body>
auto guarded(Failure failure, Body &&body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        return static_cast<decltype(body())>(failure);
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

// What a call throws, for tests that expect a failure.
#pragma once

#include "store/Error.h"

#include <optional>
#include <utility>

namespace sirano::test {

// The error f throws, or nothing when it returns.
template <typename E = SiranoError, typename F>
std::optional<E> thrownBy(F&& f) {
    try {
        std::forward<F>(f)();
    } catch (const E& e) {
        return e;
    }
    return std::nullopt;
}

// The number of the SiranoError f throws; 0 when it returns.
template <typename F>
int errorNumber(F&& f) {
    const std::optional<SiranoError> e = thrownBy(std::forward<F>(f));
    return e ? e->number() : 0;
}

}  // namespace sirano::test

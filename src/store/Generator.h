// The fixed 24-bit linear congruential generator behind the stored-text codec.
// Stored texts read back only with the generator that wrote them, so it never changes.
#pragma once

#include <cstdint>

namespace sirano {

class Generator {
public:
    // Next value in [0, 1), exact in single precision.
    float draw();
    // Sets the state from the negative number n alone and returns one draw.
    float reset(float n);
    // Folds x into the state; the low byte survives.
    void reseed(double x);
    // Once at start: seconds since midnight fed to reseed().
    void reseedFromClock();

    uint32_t state() const { return state_; }
    // Puts back a state read with state(): the codec's keystream cache skips draws it knows.
    void setState(uint32_t state) { state_ = state & 0xFFFFFFu; }

private:
    uint32_t state_ = 0x50000;
};

}  // namespace sirano

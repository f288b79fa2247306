#include "Generator.h"

#include <QTime>
#include <bit>

namespace sirano {

float Generator::draw() {
    state_ = (state_ * 0x43FD43FDu + 0xC39EC3u) & 0xFFFFFFu;
    return static_cast<float>(state_) / 16777216.0f;
}

float Generator::reset(float n) {
    const uint32_t b = std::bit_cast<uint32_t>(n);
    state_ = (b + (b >> 24)) & 0xFFFFFFu;
    return draw();
}

void Generator::reseed(double x) {
    const uint32_t h = static_cast<uint32_t>(std::bit_cast<uint64_t>(x) >> 32);
    const uint32_t f = (h ^ (h >> 16)) & 0xFFFFu;
    state_ = (f << 8) | (state_ & 0xFFu);
}

void Generator::reseedFromClock() {
    const float seconds = static_cast<float>(QTime::currentTime().msecsSinceStartOfDay()) / 1000.0f;
    reseed(static_cast<double>(seconds));
}

}  // namespace sirano

#include "engine/render/seeded_random.h"

namespace clavio {

std::uint64_t SeededRandom::next() noexcept {
    std::uint64_t z =
        _state.fetch_add(0x9E3779B97F4A7C15ull, std::memory_order_relaxed) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::uint32_t SeededRandom::index(std::uint32_t n) noexcept {
    // Lemire's multiply-shift: the high half of a 32 x 32 bit product. Its
    // bias is below n / 2^32, far below anything audible in a sample choice.
    return std::uint32_t(((next() >> 32) * std::uint64_t(n)) >> 32);
}

float SeededRandom::jitter(float magnitude) noexcept {
    if (magnitude == 0.0f) {
        return 0.0f;
    }
    // 53 bits over 2^53 - 1 steps, so both ends of the interval are reachable.
    const double u = double(next() >> 11) / double((std::uint64_t(1) << 53) - 1);
    return float(double(magnitude) * (2.0 * u - 1.0));
}

std::function<std::uint32_t(std::uint32_t)> SeededRandom::indexFunction(SeededRandom& random) {
    return [&random](std::uint32_t n) { return random.index(n); };
}

std::function<float(float)> SeededRandom::jitterFunction(SeededRandom& random) {
    return [&random](float magnitude) { return random.jitter(magnitude); };
}

} // namespace clavio

// A uniform random source for the keystroke pipeline's sample choice and
// jitter: SplitMix64 over one atomic counter. Each draw takes the next
// counter value with one fetch_add and mixes it, so a draw never locks,
// never allocates and may come from the classify queue and the keyboard
// thread at once. With one driving thread (offline rendering) the sequence
// of draws is fixed by the seed, which makes renders repeatable.
//
// Threading: every member is callable from any thread (one atomic RMW).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace clavio {

class SeededRandom {
public:
    explicit SeededRandom(std::uint64_t seed) noexcept : _state(seed) {}
    SeededRandom(const SeededRandom&) = delete;
    SeededRandom& operator=(const SeededRandom&) = delete;

    // 64 uniform bits.
    std::uint64_t next() noexcept;
    // Uniform integer in [0, n); 0 when n is 0.
    std::uint32_t index(std::uint32_t n) noexcept;
    // Uniform float in the closed interval [-magnitude, +magnitude]; 0 for a
    // magnitude of 0.
    float jitter(float magnitude) noexcept;

    // Functions drawing from `random`, for the coordinator's services. The
    // source must outlive them.
    static std::function<std::uint32_t(std::uint32_t)> indexFunction(SeededRandom& random);
    static std::function<float(float)> jitterFunction(SeededRandom& random);

private:
    std::atomic<std::uint64_t> _state;
};

} // namespace clavio

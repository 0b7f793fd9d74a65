// A move-only callable kept inside the object, never on the heap, so that a
// thread that must not allocate (the keyboard callback) can hand work to a
// queue. std::function was rejected: any capture beyond two pointers goes to
// the heap, once per key press.
//
// Threading: a value type; one thread uses a given task at a time.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace clavio {

template <std::size_t Capacity> class InlineTask {
public:
    static constexpr std::size_t capacity = Capacity;

    InlineTask() noexcept = default;

    // A capture larger than the capacity does not compile: capture a pointer
    // to shared state instead.
    template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, InlineTask>>>
    InlineTask(F&& f) noexcept(std::is_nothrow_constructible_v<std::decay_t<F>, F&&>) {
        using Fn = std::decay_t<F>;
        static_assert(sizeof(Fn) <= Capacity, "capture too large for an inline task");
        static_assert(alignof(Fn) <= alignof(std::max_align_t), "over-aligned capture");
        static_assert(std::is_nothrow_move_constructible_v<Fn>,
                      "capture must move without throwing");
        static_assert(std::is_invocable_r_v<void, Fn&>, "task must be callable with no arguments");
        ::new (static_cast<void*>(_storage)) Fn(std::forward<F>(f));
        _ops = &kOps<Fn>;
    }

    InlineTask(InlineTask&& other) noexcept { takeFrom(other); }
    InlineTask& operator=(InlineTask&& other) noexcept {
        if (this != &other) {
            reset();
            takeFrom(other);
        }
        return *this;
    }
    InlineTask(const InlineTask&) = delete;
    InlineTask& operator=(const InlineTask&) = delete;
    ~InlineTask() { reset(); }

    explicit operator bool() const noexcept { return _ops != nullptr; }

    // Calls the task; an empty task does nothing.
    void operator()() {
        if (_ops) {
            _ops->invoke(_storage);
        }
    }

    // Destroys the capture (and whatever it owns) now.
    void reset() noexcept {
        if (_ops) {
            _ops->destroy(_storage);
            _ops = nullptr;
        }
    }

private:
    struct Ops {
        void (*invoke)(void* self);
        void (*moveTo)(void* from, void* to) noexcept;
        void (*destroy)(void* self) noexcept;
    };

    template <typename Fn>
    static constexpr Ops kOps = {
        [](void* self) { (*static_cast<Fn*>(self))(); },
        [](void* from, void* to) noexcept {
            ::new (to) Fn(std::move(*static_cast<Fn*>(from)));
            static_cast<Fn*>(from)->~Fn();
        },
        [](void* self) noexcept { static_cast<Fn*>(self)->~Fn(); },
    };

    void takeFrom(InlineTask& other) noexcept {
        if (other._ops) {
            other._ops->moveTo(other._storage, _storage);
            _ops = other._ops;
            other._ops = nullptr;
        }
    }

    alignas(std::max_align_t) unsigned char _storage[Capacity];
    const Ops* _ops = nullptr;
};

} // namespace clavio

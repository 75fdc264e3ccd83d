// A process-wide seam that a program or a test can replace: the value in
// use, its default made on first use, and the swap that hands back the
// previous value so that a scope can restore it.
#pragma once

#include <mutex>
#include <utility>

namespace quorvel {

template <class T>
class Replaceable {
public:
    using Maker = T (*)();
    using IsUnset = bool (*)(const T&);

    // `makeDefault` fills the seam whenever it is unset, by `isUnset`.
    explicit Replaceable(
        Maker makeDefault, IsUnset isUnset = [](const T& v) { return !v; })
        : makeDefault_(makeDefault), isUnset_(isUnset) {}

    // The value in use, a copy: a replacement never pulls it from under its user.
    T get() {
        std::lock_guard lock(mutex_);
        if (isUnset_(value_)) value_ = makeDefault_();
        return value_;
    }

    // Installs `replacement` (an unset value restores the default, made on
    // next use) and returns what was installed before.
    T replace(T replacement) {
        std::lock_guard lock(mutex_);
        return std::exchange(value_, std::move(replacement));
    }

private:
    Maker makeDefault_;
    IsUnset isUnset_;
    std::mutex mutex_;
    T value_{};
};

}  // namespace quorvel

// What an I2C transfer, or an AUX command built on one, answers: done, or
// why not. The cause is for diagnostic lines and the upgrade error; callers
// that only need to know whether it worked test the result as a Boolean.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "model/Errors.h"

namespace quorvel {

class [[nodiscard]] TransferResult {
public:
    TransferResult() = default;  // done
    static TransferResult failed(FailureCause cause) { return TransferResult(std::move(cause)); }
    static TransferResult failed(std::string step, std::string detail) {
        return failed(FailureCause{std::move(step), std::move(detail)});
    }

    explicit operator bool() const { return !failure_; }
    // Why it failed; an empty cause when it did not.
    const FailureCause& cause() const {
        static const FailureCause none;
        return failure_ ? *failure_ : none;
    }
    // A failure seen from `context` ("DebugOn", "loader step 40 of 528"); done stays done.
    TransferResult within(const std::string& context) const {
        return failure_ ? failed(failure_->within(context)) : TransferResult();
    }

private:
    explicit TransferResult(FailureCause cause) : failure_(std::move(cause)) {}
    std::optional<FailureCause> failure_;
};

}  // namespace quorvel

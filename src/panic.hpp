// Internal failures: a broken calling contract of the numeric core ends the whole call.
#pragma once

#include <exception>

namespace rust {

// Thrown by the core when one of its preconditions does not hold. The message is
// a string literal with static storage, so throwing never allocates; the module
// boundary raises it as PanicException with that message.
class Panic final : public std::exception {
public:
    explicit Panic(const char* message) noexcept : message_(message) {}
    const char* what() const noexcept override { return message_; }

private:
    const char* message_;
};

}  // namespace rust

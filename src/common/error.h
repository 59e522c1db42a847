// Errors as values: a kind and one line saying what failed, where, with which numbers.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace prendle {

enum class ErrorKind { Io, Corrupt, Unsupported, Stopped };

struct [[nodiscard]] Error {
    ErrorKind kind = ErrorKind::Io;
    std::string message;
    int code = 0;  // errno where the system gave one
};

const char* errorKindName(ErrorKind kind);

inline Error ioError(std::string message, int code = 0) {
    return {ErrorKind::Io, std::move(message), code};
}
inline Error corruptError(std::string message) {
    return {ErrorKind::Corrupt, std::move(message)};
}
inline Error unsupportedError(std::string message) {
    return {ErrorKind::Unsupported, std::move(message)};
}

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(Error error) : state_(std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const Error& error() const { return std::get<1>(state_); }

private:
    std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)), failed_(true) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return error_; }

private:
    Error error_;
    bool failed_ = false;
};

using Status = Result<void>;

}  // namespace prendle

#pragma once
// The framework's exception classes. Every exception carries its message text, which
// the application's central handler shows as it stands.

#include <stdexcept>
#include <string>

namespace portvale {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const std::string& Message() const { return message_; }
    void SetMessage(std::string message) { message_ = std::move(message); }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// "List index out of bounds (%d)"
class EListError : public Exception {
public:
    explicit EListError(int index);
    using Exception::Exception;
};

class EStreamError : public Exception {
public:
    using Exception::Exception;
};

// "Cannot open file %s"
class EFOpenError : public EStreamError {
public:
    explicit EFOpenError(const std::string& fileName);
};

// "Cannot create file %s"
class EFCreateError : public EStreamError {
public:
    explicit EFCreateError(const std::string& fileName);
};

// "Unable to write to %s"
class EIniFileException : public Exception {
public:
    using Exception::Exception;
};

// Silent exceptions end an operation without anything being shown.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
};

}  // namespace portvale

#pragma once

#include <exception>
#include <string>

namespace sonorix {

// Base of the system's own exceptions. clone and rethrow let an exception raised on one thread be
// thrown again, with its most derived type, on another.
class ExceptionBase : public std::exception {
public:
    ExceptionBase() = default;
    explicit ExceptionBase(std::string message) : m_message(std::move(message)) {}
    ~ExceptionBase() override = default;

    const char* what() const noexcept override { return m_message.c_str(); }

    // A heap copy of the most derived exception.
    virtual ExceptionBase* clone() const = 0;
    // Copies the exception, deletes this heap object and throws the copy.
    [[noreturn]] virtual void rethrow() = 0;

protected:
    std::string m_message;
};

// Implements clone and rethrow for a concrete exception class.
#define SONORIX_EXCEPTION_BODY(Class)                                                             \
    Class* clone() const override { return new Class(*this); }                                    \
    [[noreturn]] void rethrow() override {                                                        \
        Class copy(*this);                                                                        \
        delete this;                                                                              \
        throw copy;                                                                               \
    }

// Declares a concrete exception class derived from Base with a message constructor.
#define SONORIX_DECLARE_EXCEPTION(Class, Base)                                                    \
    class Class : public Base {                                                                   \
    public:                                                                                       \
        explicit Class(std::string message = #Class) : Base(std::move(message)) {}                \
        SONORIX_EXCEPTION_BODY(Class)                                                             \
    }

} // namespace sonorix

#pragma once

// The library's own failures: a public exception class with a category and
// the context added as the failure travels up. A host catches them as the
// public class they derive from, so its code and binary need no change.

#include "tallyquill/error.h"

#include <string>
#include <utility>

namespace tallyquill {

// The part every categorised failure shares; found by Error::categoryOf.
class ErrorContext {
public:
    explicit ErrorContext(ErrorCategory category) : category_(category) {}
    virtual ~ErrorContext() = default;

    ErrorCategory category() const noexcept { return category_; }
    // The contexts added so far, the outermost first, each followed by ": ".
    const std::string& context() const noexcept { return context_; }

protected:
    void prepend(const std::string& context) { context_.insert(0, context + ": "); }

private:
    ErrorCategory category_;
    std::string context_;
};

// A failure of `Base` (Error or one of its public subclasses) in a category.
// addContext("Cannot archive X") makes what() read "Cannot archive X: <what>".
template <class Base>
class Categorised : public Base, public ErrorContext {
public:
    template <class... Args>
    explicit Categorised(ErrorCategory category, Args&&... args)
        : Base(std::forward<Args>(args)...), ErrorContext(category)
    {
    }

    Categorised& addContext(const std::string& context)
    {
        prepend(context);
        text_ = this->context() + Base::what();
        return *this;
    }
    const char* what() const noexcept override { return text_.empty() ? Base::what() : text_.c_str(); }

private:
    std::string text_;
};

using Failure = Categorised<Error>;

} // namespace tallyquill

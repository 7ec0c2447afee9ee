#pragma once

#include <functional>
#include <memory>
#include <typeinfo>
#include <utility>

namespace sonorix {

// A call bound to strong references to what it runs on, which live until the delegate is gone.
class Delegate {
public:
    explicit Delegate(std::function<void()> function) : m_function(std::move(function)) {}

    // A copy runs, so that what it holds lives through the call even when the last reference to
    // the delegate goes inside it.
    void call() const {
        auto function = m_function;
        function();
    }

private:
    std::function<void()> m_function;
};

using DelegatePtr = std::shared_ptr<const Delegate>;

namespace detail {

template <class M>
struct MemberClass;
template <class C, class... Params>
struct MemberClass<void (C::*)(Params...)> {
    using Class = C;
};

} // namespace detail

// Base of every object whose member functions run on other threads. Holds the weak
// self-reference that is set when the first shared pointer to the object is made.
class ThreadCallableBase : public std::enable_shared_from_this<ThreadCallableBase> {
public:
    virtual ~ThreadCallableBase() = default;

    // A delegate that calls Member on this object with copies of args and holds a strong
    // reference to it, so the object lives until every call scheduled on it has run. Throws
    // std::bad_weak_ptr when the object is not held by a shared pointer.
    template <auto Member, class... Args>
    DelegatePtr delegateFor(Args... args) {
        using C = typename detail::MemberClass<decltype(Member)>::Class;
        std::shared_ptr<C> self = std::dynamic_pointer_cast<C>(shared_from_this());
        if (!self) {
            throw std::bad_cast();
        }
        return std::make_shared<const Delegate>(
            [self = std::move(self), ... args = std::move(args)] { ((*self).*Member)(args...); });
    }
};

// Derive T from ThreadCallable<T> to run T's member functions on other threads.
template <class T>
class ThreadCallable : public ThreadCallableBase {
public:
    std::shared_ptr<T> sharedFromThis() {
        return std::static_pointer_cast<T>(ThreadCallableBase::shared_from_this());
    }
};

} // namespace sonorix

#pragma once

#include <memory>
#include <type_traits>
#include <typeinfo>

namespace sonorix {

// The untyped shared parameter every cross-thread call carries; empty means "no parameter".
using ParameterPtr = std::shared_ptr<void>;

// Keeps the object a delegate runs on alive until the delegate is gone.
class DelegateBase {
public:
    explicit DelegateBase(std::shared_ptr<void> target) : m_target(std::move(target)) {}
    virtual ~DelegateBase() = default;

protected:
    std::shared_ptr<void> m_target;
};

// A function bound to a strong reference to its object, called with one shared parameter.
template <class Param>
class DelegateWithParam : public DelegateBase {
public:
    using Function = void (*)(const std::shared_ptr<void>& target, const Param& parameter);

    DelegateWithParam(std::shared_ptr<void> target, Function function)
        : DelegateBase(std::move(target)), m_function(function) {}

    void call(const Param& parameter) const {
        std::shared_ptr<void> target = m_target;
        Param copy = parameter;
        m_function(target, copy);
    }

private:
    Function m_function;
};

using Delegate = DelegateWithParam<ParameterPtr>;
using DelegatePtr = std::shared_ptr<Delegate>;

namespace detail {

template <class M>
struct MemberTraits;
template <class C>
struct MemberTraits<void (C::*)(ParameterPtr)> {
    using Class = C;
    static constexpr bool takesParameter = true;
};
template <class C>
struct MemberTraits<void (C::*)(const ParameterPtr&)> {
    using Class = C;
    static constexpr bool takesParameter = true;
};
template <class C>
struct MemberTraits<void (C::*)()> {
    using Class = C;
    static constexpr bool takesParameter = false;
};

} // namespace detail

// Base of every object whose member functions run on other threads. Holds the weak
// self-reference that is set when the first shared pointer to the object is made.
class ThreadCallableBase : public std::enable_shared_from_this<ThreadCallableBase> {
public:
    virtual ~ThreadCallableBase() = default;

    // A delegate that calls Member (void (C::*)(ParameterPtr), or without parameter) on this
    // object and holds a strong reference to it, so the object lives until every call scheduled
    // on it has run. Throws std::bad_weak_ptr when the object is not held by a shared pointer.
    template <auto Member>
    DelegatePtr delegateFor() {
        using Traits = detail::MemberTraits<decltype(Member)>;
        using C = typename Traits::Class;
        std::shared_ptr<C> self = std::dynamic_pointer_cast<C>(shared_from_this());
        if (!self) {
            throw std::bad_cast();
        }
        return std::make_shared<Delegate>(
            std::static_pointer_cast<void>(self),
            [](const std::shared_ptr<void>& target, const ParameterPtr& parameter) {
                C* object = static_cast<C*>(target.get());
                if constexpr (Traits::takesParameter) {
                    (object->*Member)(parameter);
                } else {
                    (void)parameter;
                    (object->*Member)();
                }
            });
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

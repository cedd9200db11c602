#pragma once
// Helpers for host objects answering QueryContract.

#include "Kest8/Contract.h"

namespace RefHost {

// The view of `self` for the first of `Interfaces` whose name matches; the
// first interface also answers for Kest8::IContract.
template <class First, class... Rest, class Self>
Kest8::IContract* AnswerContract(Self* self, const char* typeName)
{
    if (typeName == nullptr) return nullptr;
    if (Kest8::IsContract<Kest8::IContract>(typeName) || Kest8::IsContract<First>(typeName))
        return static_cast<First*>(self);
    Kest8::IContract* found = nullptr;
    ((found == nullptr && Kest8::IsContract<Rest>(typeName) ? (found = static_cast<Rest*>(self)) : found), ...);
    return found;
}

}  // namespace RefHost

// Defines both QueryContract overrides from AnswerContract.
#define REFHOST_CONTRACTS(...)                                                                        \
    const Kest8::IContract* QueryContract(const char* typeName) const override                        \
    {                                                                                                 \
        return ::RefHost::AnswerContract<__VA_ARGS__>(                                                \
            const_cast<std::remove_const_t<std::remove_pointer_t<decltype(this)>>*>(this), typeName); \
    }                                                                                                 \
    Kest8::IContract* QueryContract(const char* typeName) override                                    \
    {                                                                                                 \
        return ::RefHost::AnswerContract<__VA_ARGS__>(this, typeName);                                \
    }

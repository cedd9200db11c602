#pragma once
// Helpers for host objects answering QueryContract. A host object answers
// only the contract names described for it; every other name a module asks
// for is recorded, process-wide, as a contract violation.

#include <string>
#include <typeinfo>
#include <vector>

#include "Kest8/Contract.h"

namespace RefHost {

// Records that an object of `objectType` (its type information name) was
// asked for `typeName`, a name not described for it.
void NoteContractViolation(const std::type_info& objectType, const char* typeName);
// "<object type> asked for <name>", in the order they happened.
std::vector<std::string> ContractViolations();
void ClearContractViolations();

// The view of `self` for `typeName`: Kest8::IContract answers the `Root`
// view, each of `Named` answers its own; anything else is null and noted.
template <class Root, class... Named, class Self>
Kest8::IContract* AnswerContract(Self* self, const char* typeName)
{
    if (Kest8::IsContract<Kest8::IContract>(typeName)) return static_cast<Root*>(self);
    Kest8::IContract* found = nullptr;
    ((found == nullptr && Kest8::IsContract<Named>(typeName) ? (found = static_cast<Named*>(self)) : found), ...);
    if (found == nullptr) NoteContractViolation(typeid(Self), typeName);
    return found;
}

// Whether `typeName` names one of the buffer views a frame sample is asked for.
bool IsSampleBufferName(const char* typeName);

}  // namespace RefHost

// Defines both QueryContract overrides from AnswerContract: the first type is
// the root view, the rest are answered by name.
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

// A frame sample that offers neither buffer view: both names answer null.
#define REFHOST_BARE_SAMPLE_CONTRACTS(Root)                                                                            \
    const Kest8::IContract* QueryContract(const char* typeName) const override                                         \
    {                                                                                                                  \
        return const_cast<std::remove_const_t<std::remove_pointer_t<decltype(this)>>*>(this)->QueryContract(typeName); \
    }                                                                                                                  \
    Kest8::IContract* QueryContract(const char* typeName) override                                                     \
    {                                                                                                                  \
        if (::RefHost::IsSampleBufferName(typeName)) return nullptr;                                                   \
        return ::RefHost::AnswerContract<Root>(this, typeName);                                                        \
    }

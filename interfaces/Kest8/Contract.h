#pragma once
// Host framework: the root contract every host and plug-in object offers.

#include <cstdint>
#include <cstring>
#include <typeinfo>

namespace Kest8 {

using ResultCode = int32_t;

// Result values the host understands.
namespace Result {
constexpr ResultCode Success = 0;
constexpr ResultCode NoTracker = 1;  // frame taken, but no tracker is available
constexpr ResultCode InternalFailure = 4;
constexpr ResultCode UnknownParameter = 5;  // parameter name not recognised
constexpr ResultCode ValueNotAccepted = 6;  // value outside the accepted set
constexpr ResultCode AlreadyInitialized = 9;
constexpr ResultCode InvalidArgument = 10;  // invalid argument or failed operation
}  // namespace Result

class IContract {
public:
    virtual const IContract* QueryContract(const char* typeName) const = 0;
    virtual IContract* QueryContract(const char* typeName) = 0;
    virtual ~IContract() = default;
};

// The name contracts are asked for by: the mangled type name as the
// runtime's type information spells it.
template <class Interface>
inline const char* ContractName() noexcept
{
    return typeid(Interface).name();
}

template <class Interface>
inline bool IsContract(const char* typeName) noexcept
{
    return typeName != nullptr && std::strcmp(typeName, ContractName<Interface>()) == 0;
}

// Typed query helpers for callers.
template <class Interface>
inline Interface* QueryContractAs(IContract* object)
{
    return object ? static_cast<Interface*>(object->QueryContract(ContractName<Interface>())) : nullptr;
}

template <class Interface>
inline const Interface* QueryContractAs(const IContract* object)
{
    return object ? static_cast<const Interface*>(object->QueryContract(ContractName<Interface>())) : nullptr;
}

}  // namespace Kest8

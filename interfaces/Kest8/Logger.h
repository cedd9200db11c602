#pragma once

#include "Kest8/Contract.h"

namespace Kest8 {

// Levels: 0 diagnostics, 1 information, 2 warnings, 3 errors. A message of
// level N is meant to be sent only when GetLogLevel() is at most N.
class ILogger : public IContract {
public:
    virtual int32_t GetLogLevel() const = 0;
    virtual void Log(int32_t level, const char* text) = 0;
    virtual void Log(int32_t level, const char* file, int32_t line, const char* function, const char* text) = 0;
};

class IServiceProvider : public IContract {
public:
    virtual IContract* QueryService(const char* typeName) = 0;
};

template <class Interface>
inline Interface* QueryServiceAs(IServiceProvider* provider)
{
    return provider ? static_cast<Interface*>(provider->QueryService(ContractName<Interface>())) : nullptr;
}

}  // namespace Kest8

#pragma once
// Host statistics sink.

#include "Kest8/Contract.h"

namespace Kest8::Statistics {

class IMetric : public IContract {
public:
    virtual void Destroy() = 0;
    virtual void SetDouble(double value) = 0;
    virtual void SetInt32(int32_t value) = 0;
    virtual void SetUInt32(uint32_t value) = 0;
    virtual void SetInt64(int64_t value) = 0;
    virtual void SetUInt64(uint64_t value) = 0;
    virtual void SetString(const char* value) = 0;
    virtual void AddLabel(const char* key, const char* value) = 0;
};

class ISink : public IContract {
public:
    virtual IMetric* CreateMetric(const char* name, int64_t parameter) = 0;
    virtual void Submit(IMetric* metric, int32_t mode) = 0;
};

}  // namespace Kest8::Statistics

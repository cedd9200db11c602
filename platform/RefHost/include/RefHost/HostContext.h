#pragma once
// The context a detector is created with. Event creation comes with the
// event framework.

#include "Kest8/Statistics.h"
#include "RefHost/Contract.h"

namespace RefHost {

class HostContext : public Kest8::IContract {
public:
    explicit HostContext(Kest8::Statistics::ISink* sink = nullptr) : m_sink(sink) {}

    const Kest8::IContract* QueryContract(const char* typeName) const override
    {
        return const_cast<HostContext*>(this)->QueryContract(typeName);
    }
    Kest8::IContract* QueryContract(const char* typeName) override
    {
        if (Kest8::IsContract<Kest8::IContract>(typeName)) return this;
        if (Kest8::IsContract<Kest8::Statistics::ISink>(typeName)) return m_withholdSink ? nullptr : m_sink;
        return nullptr;
    }

    void WithholdSink(bool withheld = true) { m_withholdSink = withheld; }

private:
    Kest8::Statistics::ISink* m_sink;
    bool m_withholdSink = false;
};

}  // namespace RefHost

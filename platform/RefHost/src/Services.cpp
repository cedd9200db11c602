#include "RefHost/Services.h"

namespace RefHost {

Kest8::IContract* ServiceProvider::QueryService(const char* typeName)
{
    ++m_queries;
    if (Kest8::IsContract<Kest8::ILogger>(typeName)) return m_withholdLogger ? nullptr : m_logger;
    if (Kest8::IsContract<Kest8::Analytics::ITargetEnumeratorFactory>(typeName))
        return m_withholdTargets ? nullptr : m_targets;
    if (Kest8::IsContract<Kest8::MFF::IBlobFrameFactory>(typeName)) return m_withholdBlobs ? nullptr : m_blobs;
    return nullptr;
}

void ServiceProvider::Withhold(Service service, bool withheld)
{
    switch (service) {
    case Service::Logger: m_withholdLogger = withheld; break;
    case Service::TargetEnumeratorFactory: m_withholdTargets = withheld; break;
    case Service::BlobFrameFactory: m_withholdBlobs = withheld; break;
    }
}

}  // namespace RefHost

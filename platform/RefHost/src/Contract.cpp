#include "RefHost/Contract.h"

#include <boost/core/demangle.hpp>
#include <mutex>

#include "Kest8/MFF.h"

namespace RefHost {

namespace {

struct ViolationLog {
    std::mutex mutex;
    std::vector<std::string> entries;
};

ViolationLog& Log()
{
    static ViolationLog log;
    return log;
}

}  // namespace

void NoteContractViolation(const std::type_info& objectType, const char* typeName)
{
    std::string entry = boost::core::demangle(objectType.name()) + " asked for ";
    entry += typeName == nullptr ? std::string("a null name") : boost::core::demangle(typeName);
    auto& log = Log();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.entries.push_back(std::move(entry));
}

std::vector<std::string> ContractViolations()
{
    auto& log = Log();
    std::lock_guard<std::mutex> lock(log.mutex);
    return log.entries;
}

void ClearContractViolations()
{
    auto& log = Log();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.entries.clear();
}

bool IsSampleBufferName(const char* typeName)
{
    return Kest8::IsContract<Kest8::MFF::IPlanarBuffer>(typeName) ||
           Kest8::IsContract<Kest8::MFF::ICompositeBuffer2>(typeName);
}

}  // namespace RefHost

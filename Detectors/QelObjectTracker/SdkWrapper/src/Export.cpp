// The library's one export.

#include <stdexcept>

#include "ObjectObserver.h"

extern "C" __attribute__((visibility("default"))) QelWrapper::IObjectObserver* CreateObjectObserver(
    const QelWrapper::Configurations* config)
{
    if (config == nullptr) throw std::runtime_error("CreateObjectObserver needs a configuration.");
    return new QelWrapper::ObjectObserver(*config);
}

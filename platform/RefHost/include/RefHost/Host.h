#pragma once
// The least host: every service a module asks for, wired together.

#include "RefHost/HostContext.h"
#include "RefHost/Logger.h"
#include "RefHost/Services.h"
#include "RefHost/Statistics.h"

namespace RefHost {

struct Host {
    explicit Host(int32_t logLevel = 0) : logger(logLevel) {}

    Logger logger;
    TargetEnumeratorFactory targets;
    BlobFrameFactory blobs;
    ServiceProvider services{&logger, &targets, &blobs};
    StatisticsSink statistics;
    HostContext context{&statistics};
};

}  // namespace RefHost

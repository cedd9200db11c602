// The module's exported entry points.

#include "DetectorAPI.h"
#include "Module.h"

KEST_DEFINE_MODULE_ENTRY(QelObjectTracker::Module)

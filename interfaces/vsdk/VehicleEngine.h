#pragma once

#include "fsdk/RefCounted.h"

namespace vsdk {

class IVehicleEngine : public fsdk::IRefCounted {};

}  // namespace vsdk

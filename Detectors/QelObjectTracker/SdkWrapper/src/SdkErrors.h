#pragma once
// Texts of the SDK's result codes, shared by every "What: {}" message.

#include "fsdk/Types.h"

namespace QelWrapper {

// "Unknown error" for a code without a text.
const char* SdkErrorText(fsdk::FSDKError code) noexcept;

}  // namespace QelWrapper

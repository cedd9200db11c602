#pragma once

#include "fsdk/Def.h"
#include "fsdk/RefCounted.h"
#include "fsdk/Types.h"

namespace fsdk {

// Typed values of one configuration file, by section and key.
class ISettingsProvider : public IRefCounted {
public:
    virtual void setValue(const char* section, const char* key, int32_t value) = 0;
    virtual void setValue(const char* section, const char* key, const char* value) = 0;
    // False when the key is absent or holds another kind.
    virtual bool getInt(const char* section, const char* key, int32_t* value) const = 0;
    // Null when absent or of another kind; valid until the value changes.
    virtual const char* getText(const char* section, const char* key) const = 0;
    virtual Result save(const char* path) const = 0;
    virtual const char* getDefaultPath() const = 0;
};

using ISettingsProviderPtr = Ref<ISettingsProvider>;

// Reads the configuration file at `path`; a missing or unreadable file
// answers a non-zero code.
FSDK_API ResultValue<ISettingsProviderPtr> createSettingsProvider(const char* path);

}  // namespace fsdk

#pragma once
// Inside the SDK: pictures kept past a push share the pixels an image owns
// and clone those it only refers to.

#include "fsdk/Image.h"

namespace fsdk {

struct ImageAccess {
    static Image OwnedCopy(const Image& image) { return image.ownedCopy(); }
};

}  // namespace fsdk

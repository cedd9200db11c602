#pragma once
// Everything of libFaceEngineSDK.so.5.

#include "fsdk/FaceEngine.h"
#include "fsdk/Image.h"
#include "fsdk/Log.h"
#include "fsdk/Settings.h"

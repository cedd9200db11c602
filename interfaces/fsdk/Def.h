#pragma once

#define FSDK_API __attribute__((visibility("default")))

#pragma once
// Result codes and small value types of the tracking SDK.

#include <cstddef>
#include <cstdint>
#include <utility>

namespace fsdk {

enum class FSDKError : uint32_t {
    Ok = 0,
    Internal = 1,
    InvalidInput = 2,
    InvalidImage = 3,
    InvalidRect = 4,
    InvalidImageFormat = 5,
    InvalidImageSize = 6,
    InvalidDetection = 7,
    InvalidLandmarks5 = 8,
    InvalidLandmarks68 = 9,
    InvalidTransformation = 10,
    InvalidDescriptor = 11,
    InvalidDescriptorBatch = 12,
    InvalidSettingsProvider = 13,
    InvalidDescriptorId = 14,
    InvalidPath = 15,
    InvalidSerializedObject = 16,
    ModuleNotInitialized = 17,
    ModuleNotReady = 18,
    BufferIsNull = 20,
    BufferIsFull = 21,
    BufferIsEmpty = 22,
    InvalidBufferSize = 23,
    InvalidSpanSize = 24,
    InvalidBatch = 25,
    IncompatibleDescriptors = 26,
    FiltredAggregationError = 28,
    BatchedInternalError = 29,
    UnsupportedFunctionality = 30,
    HighMemoryUsage = 31,
    IncompatibleModelVersions = 32,
    ModelNotLoaded = 33,
    InvalidConfig = 34,
    ValidationFailed = 39,
    CudaError = 40,
    NotImplemented = 41,
};

// A result code together with the value of a call.
template <class T>
struct ResultValue {
    FSDKError code = FSDKError::Internal;
    T value{};

    bool isOk() const noexcept { return code == FSDKError::Ok; }
    bool isError() const noexcept { return !isOk(); }
    FSDKError getError() const noexcept { return code; }
    const T& getValue() const& noexcept { return value; }
    T&& getValue() && noexcept { return std::move(value); }
};

template <class T>
ResultValue<T> makeResultValue(FSDKError code, T value)
{
    return ResultValue<T>{code, std::move(value)};
}

struct Result {
    FSDKError code = FSDKError::Ok;
    bool isOk() const noexcept { return code == FSDKError::Ok; }
    bool isError() const noexcept { return !isOk(); }
};

// A box in pixels of an image.
struct Rect {
    float x = 0.f;
    float y = 0.f;
    float width = 0.f;
    float height = 0.f;
};

// A read-only view of contiguous elements owned elsewhere.
template <class T>
struct Span {
    T* data = nullptr;
    std::size_t size = 0;

    T* begin() const noexcept { return data; }
    T* end() const noexcept { return data + size; }
    bool empty() const noexcept { return size == 0; }
    T& operator[](std::size_t i) const noexcept { return data[i]; }
};

// Device selection for engines that run on a GPU.
struct LaunchOptions {
    int32_t deviceClass = 0;  // 0 CPU, 1 GPU
    bool runConcurrently = false;
    int32_t defaultGpuDevice = 0;
};

}  // namespace fsdk

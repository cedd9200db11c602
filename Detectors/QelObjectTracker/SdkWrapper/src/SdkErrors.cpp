#include "SdkErrors.h"

namespace QelWrapper {

const char* SdkErrorText(fsdk::FSDKError code) noexcept
{
    using E = fsdk::FSDKError;
    switch (code) {
    case E::Ok: return "Ok";
    case E::Internal: return "Internal error";
    case E::InvalidInput: return "Invalid input";
    case E::InvalidImage: return "Invalid image";
    case E::InvalidRect: return "Invalid rectangle";
    case E::InvalidImageFormat: return "Invalid image format";
    case E::InvalidImageSize: return "Invalid image size";
    case E::InvalidDetection: return "Invalid detection";
    case E::InvalidLandmarks5: return "Invalid landmarks 5";
    case E::InvalidLandmarks68: return "Invalid landmarks 68";
    case E::InvalidTransformation: return "Invalid transformation.";
    case E::InvalidDescriptor: return "Invalid descriptor";
    case E::InvalidDescriptorBatch: return "Invalid descriptor batch.";
    case E::InvalidSettingsProvider: return "Invalid settings provider..";
    case E::InvalidDescriptorId: return "Invalid descriptor id.";
    case E::InvalidPath: return "Invalid path.";
    case E::InvalidSerializedObject: return "Invalid serialized object.";
    case E::ModuleNotInitialized: return "Module is not initialized";
    case E::ModuleNotReady: return "Module is not ready";
    case E::BufferIsNull: return "Buffer is null";
    case E::BufferIsFull: return "Buffer is full";
    case E::BufferIsEmpty: return "Buffer is empty";
    case E::InvalidBufferSize: return "Invalid buffer size";
    case E::InvalidSpanSize: return "Invalid span size";
    case E::InvalidBatch: return "Invalid Batch";
    case E::IncompatibleDescriptors: return "Descriptors are incompatible";
    case E::FiltredAggregationError: return "Cant aggregate descriptors - all images'a GSs are less the threashold";
    case E::BatchedInternalError: return "Something gone wrong in batched query";
    case E::UnsupportedFunctionality: return "Was requested unsupported functionality";
    case E::HighMemoryUsage: return "Operation required a lot of memory";
    case E::IncompatibleModelVersions: return "Incompatible model versions";
    case E::ModelNotLoaded: return "Model not loaded";
    case E::InvalidConfig: return "Invalid config";
    case E::ValidationFailed: return "Failed validation.";
    case E::CudaError: return "CUDA Error";
    case E::NotImplemented: return "Not implemented.";
    }
    return "Unknown error";
}

}  // namespace QelWrapper

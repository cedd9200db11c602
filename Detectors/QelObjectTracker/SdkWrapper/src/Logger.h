#pragma once
// Where the SDK's own messages go, decided once per process: to the host
// logger, or with QelSdkVerboseLogDir set to a private log file (with the
// process's standard streams and the SDK configurations beside it).

#include <string>

#include "fsdk/Settings.h"

namespace Kest8 {
class ILogger;
}

namespace QelWrapper {

// Creates the process-wide SDK logger on the first call; later calls keep
// the first caller's logger and name.
void InitSdkLogger(Kest8::ILogger* logger, const std::string& name);

// The wrapper's own messages, to the host logger of the SDK logger.
void LogToOurFiles(unsigned level, const char* text);

bool IsSdkLogFileOpen();

// Saves the given settings into a new numbered directory under the verbose
// log directory; null settings are skipped.
void DumpSdkConfigs(const fsdk::ISettingsProviderPtr& faceEngineSettings,
                    const fsdk::ISettingsProviderPtr& runtimeSettings,
                    const fsdk::ISettingsProviderPtr& trackEngineSettings);

// The SDK print functions: into the verbose file, or to the host logger.
void LogToVerboseFile(int severity, const char* message);
void LogToOurFilesCallBack(int severity, const char* message);

// What unloading the library does: takes the print function back from the
// SDK, then closes the logger. Afterwards there is no SDK logger.
void DestroySdkLogger();

}  // namespace QelWrapper

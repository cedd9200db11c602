// qel-track: a host that runs the tracker module on videos, or on a built-in
// scene with ground truth, one detector per stream as a server does, and
// writes what the host received as JSON Lines.

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <string>

#include "Options.h"
#include "Output.h"
#include "Session.h"

int main(int argc, char** argv)
{
    using namespace QelTrack;
    Options options;
    if (const auto status = ParseCommandLine(argc, argv, options)) return *status;

    // The module may reopen the process's standard streams into the SDK's log
    // directory: the tool keeps its own copies.
    KeepMessages();
    FILE* file =
        options.output.empty() ? KeepStandardStream(STDOUT_FILENO, "w") : std::fopen(options.output.c_str(), "w");
    const std::string outputName = options.output.empty() ? std::string("standard output") : "'" + options.output + "'";
    if (file == nullptr) {
        Complain("cannot write " + outputName);
        return kOutput;
    }
    Output output(file, outputName);
    if (!options.annotate.empty() && !std::ofstream(options.annotate, std::ios::app)) {
        Complain("cannot write the annotation '" + options.annotate + "'");
        return kOutput;
    }
    int status = kModule;
    try {
        Session session(options, output);
        status = session.Execute();
    } catch (const std::exception& e) {
        Complain(e.what());
    }
    if (!output.Close() && status == kOk) status = kOutput;
    if (status == kOutput && output.Failed()) Complain("cannot write " + outputName);
    return status;
}

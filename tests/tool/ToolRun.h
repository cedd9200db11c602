#pragma once
// Runs qel-track as a user does and gathers its exit status, records and
// messages.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace ToolRun {

using nlohmann::json;

const std::string kTool = QEL_TRACK_PATH;
const std::string kModuleDir = QEL_MODULE_DIR;

// A file name of this process alone: other builds may run the same tests
// at the same time.
inline std::string TempPath(const std::string& name)
{
    return ::testing::TempDir() + "qel-track-" + std::to_string(getpid()) + "-" + name;
}

struct Outcome {
    int status = -1;
    std::vector<json> records;
    std::string errors;
};

// Runs the tool with `arguments`, and `environment` (NAME=VALUE ...) before it.
inline Outcome RunTool(const std::string& arguments, bool builtModule = true, const std::string& environment = "")
{
    const std::string errFile =
        TempPath(std::string("stderr-") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt");
    const std::string command = environment + " " + kTool + (builtModule ? " --module " + kModuleDir : std::string()) +
                                " " + arguments + " 2>" + errFile;
    Outcome out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    std::string text;
    char buffer[65536];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) text.append(buffer, n);
    const int raw = pclose(pipe);
    out.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        json record = json::parse(line, nullptr, false);
        EXPECT_FALSE(record.is_discarded()) << "not JSON: " << line;
        out.records.push_back(record);
    }
    std::ifstream err(errFile);
    out.errors.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    std::remove(errFile.c_str());
    return out;
}

}  // namespace ToolRun

#include "Parameters.h"

#include <climits>
#include <optional>
#include <set>

#include "Options.h"
#include "RefHost/Rectangles.h"

namespace QelTrack {

namespace {

bool ParseInt(const std::string& text, int32_t& value)
{
    try {
        size_t used = 0;
        const long long v = std::stoll(text, &used, 10);
        if (used != text.size() || v < INT32_MIN || v > INT32_MAX) return false;
        value = static_cast<int32_t>(v);
        return true;
    } catch (...) {
        return false;
    }
}

std::optional<Kest8::Rect> ParseRect(const std::string& text)
{
    Kest8::Rect r{};
    double* fields[4] = {&r.left, &r.top, &r.width, &r.height};
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t end = i < 3 ? text.find(',', start) : text.size();
        if (end == std::string::npos) return std::nullopt;
        try {
            size_t used = 0;
            const std::string part = text.substr(start, end - start);
            *fields[i] = std::stod(part, &used);
            if (used != part.size()) return std::nullopt;
        } catch (...) {
            return std::nullopt;
        }
        start = end + 1;
    }
    return r;
}

}  // namespace

int32_t SetParameter(Kest8::Analytics::IVisualSyncAdjuster& adjuster, const std::string& name, const std::string& value)
{
    static const std::set<std::string> bools{"TargetLifeEvent"};
    static const std::set<std::string> ints{"NumThreads", "DetectorStep", "DetectionsSkipped", "MinimalTrackLength",
                                            "DetectionThreshold"};
    static const std::set<std::string> texts{"mode", "DetectorScaling"};
    int32_t number = 0;
    if (bools.count(name) || (!ints.count(name) && !texts.count(name) && (value == "true" || value == "false"))) {
        if (value != "true" && value != "false") throw UsageError(name + " takes true or false, not '" + value + "'");
        return adjuster.SetValue(name.c_str(), value == "true");
    }
    if (ints.count(name)) {
        if (!ParseInt(value, number)) throw UsageError(name + " takes an integer, not '" + value + "'");
        return adjuster.SetValue(name.c_str(), number);
    }
    if (name == "RegionOfInterest") {
        const auto rect = ParseRect(value);
        if (!rect) throw UsageError("RegionOfInterest takes x,y,w,h fractions, not '" + value + "'");
        RefHost::RectangleList list({*rect});
        return adjuster.SetValue(name.c_str(), static_cast<Kest8::IRectangleEnumerator*>(&list));
    }
    if (!texts.count(name) && ParseInt(value, number)) return adjuster.SetValue(name.c_str(), number);
    return adjuster.SetValue(name.c_str(), value.c_str());
}

const char* ResultMeaning(int32_t code)
{
    switch (code) {
    case 0: return "success";
    case 1: return "frame taken but no tracker available";
    case 4: return "internal failure";
    case 5: return "parameter name not recognised";
    case 6: return "value outside the accepted set";
    case 9: return "module already initialised";
    case 10: return "invalid argument or failed operation";
    default: return "unknown result";
    }
}

}  // namespace QelTrack

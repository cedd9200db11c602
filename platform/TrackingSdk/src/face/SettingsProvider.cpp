// Settings files: sections in brackets, one "key = value" per line, values
// either 32-bit integers or double-quoted texts ('\' escapes '"' and '\'),
// whole-line comments starting with '#' or ';'.

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "common/RefCountedObject.h"
#include "common/SdkLog.h"
#include "fsdk/Settings.h"

namespace fsdk {
namespace {

struct Value {
    bool isText = false;
    int32_t number = 0;
    std::string text;
};

using Section = std::map<std::string, Value>;
using Sections = std::map<std::string, Section>;

std::string Trim(const std::string& s)
{
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return std::string();
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

bool IsNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
}

bool IsName(const std::string& s)
{
    if (s.empty()) return false;
    for (char c : s)
        if (!IsNameChar(c)) return false;
    return true;
}

std::optional<Value> ParseValue(const std::string& raw)
{
    Value value;
    if (!raw.empty() && raw.front() == '"') {
        value.isText = true;
        size_t i = 1;
        for (; i < raw.size() && raw[i] != '"'; ++i) {
            if (raw[i] == '\\') {
                if (++i == raw.size()) return std::nullopt;
                if (raw[i] != '"' && raw[i] != '\\') return std::nullopt;
            }
            value.text.push_back(raw[i]);
        }
        if (i + 1 != raw.size()) return std::nullopt;  // unterminated or trailing characters
        return value;
    }
    if (raw.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long long number = std::strtoll(raw.c_str(), &end, 10);
    if (errno != 0 || end != raw.c_str() + raw.size() || number < INT32_MIN || number > INT32_MAX) return std::nullopt;
    value.number = static_cast<int32_t>(number);
    return value;
}

std::string Quote(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// Texts with line breaks cannot be read back; they are kept up to the break.
std::string OneLine(const char* text)
{
    std::string s(text);
    const auto cut = s.find_first_of("\r\n");
    if (cut != std::string::npos) s.erase(cut);
    return s;
}

class SettingsProvider final : public detail::RefCountedObject<ISettingsProvider> {
public:
    SettingsProvider(std::string path, Sections sections) : m_path(std::move(path)), m_sections(std::move(sections)) {}

    void setValue(const char* section, const char* key, int32_t value) override
    {
        if (!CheckNames(section, key)) return;
        std::lock_guard<std::mutex> lock(m_mutex);
        Value& v = m_sections[section][key];
        v.isText = false;
        v.number = value;
        v.text.clear();
    }

    void setValue(const char* section, const char* key, const char* value) override
    {
        if (!CheckNames(section, key)) return;
        if (value == nullptr) {
            log::printf(true, log::Error, "settings: null text for [{}] {} ignored", section, key);
            return;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        Value& v = m_sections[section][key];
        v.isText = true;
        v.number = 0;
        v.text = OneLine(value);
    }

    bool getInt(const char* section, const char* key, int32_t* value) const override
    {
        if (section == nullptr || key == nullptr || value == nullptr) return false;
        std::lock_guard<std::mutex> lock(m_mutex);
        const Value* v = Find(section, key);
        if (v == nullptr || v->isText) return false;
        *value = v->number;
        return true;
    }

    const char* getText(const char* section, const char* key) const override
    {
        if (section == nullptr || key == nullptr) return nullptr;
        std::lock_guard<std::mutex> lock(m_mutex);
        const Value* v = Find(section, key);
        return v != nullptr && v->isText ? v->text.c_str() : nullptr;
    }

    Result save(const char* path) const override
    {
        if (path == nullptr || *path == '\0') return Result{FSDKError::InvalidPath};
        std::ofstream out(path, std::ios::trunc);
        if (!out.is_open()) {
            log::printf(true, log::Error, "settings: cannot write '{}'", path);
            return Result{FSDKError::InvalidPath};
        }
        out << "# Settings of the tracking SDK, saved from '" << m_path << "'.\n";
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const auto& [name, section] : m_sections) {
                out << "\n[" << name << "]\n";
                for (const auto& [key, value] : section)
                    out << key << " = " << (value.isText ? Quote(value.text) : std::to_string(value.number)) << '\n';
            }
        }
        out.flush();
        if (!out) return Result{FSDKError::InvalidPath};
        return Result{};
    }

    const char* getDefaultPath() const override { return m_path.c_str(); }

private:
    static bool CheckNames(const char* section, const char* key)
    {
        if (section != nullptr && key != nullptr && IsName(section) && IsName(key)) return true;
        log::printf(true, log::Error, "settings: invalid section or key name ignored");
        return false;
    }

    const Value* Find(const char* section, const char* key) const
    {
        const auto s = m_sections.find(section);
        if (s == m_sections.end()) return nullptr;
        const auto k = s->second.find(key);
        return k == s->second.end() ? nullptr : &k->second;
    }

    const std::string m_path;
    mutable std::mutex m_mutex;
    Sections m_sections;
};

}  // namespace

ResultValue<ISettingsProviderPtr> createSettingsProvider(const char* path)
{
    if (path == nullptr || *path == '\0') return {FSDKError::InvalidPath, nullptr};
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        log::printf(true, log::Error, "settings: no settings file '{}'", path);
        return {FSDKError::InvalidPath, nullptr};
    }
    std::ifstream in(path);
    if (!in.is_open()) {
        log::printf(true, log::Error, "settings: cannot read '{}'", path);
        return {FSDKError::InvalidPath, nullptr};
    }
    try {
        Sections sections;
        Section* current = nullptr;
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            const std::string text = Trim(line);
            if (text.empty() || text.front() == '#' || text.front() == ';') continue;
            if (text.front() == '[') {
                const std::string name = text.back() == ']' ? Trim(text.substr(1, text.size() - 2)) : std::string();
                if (!IsName(name)) {
                    log::printf(true, log::Error, "settings: '{}' line {}: invalid section header", path, number);
                    return {FSDKError::InvalidConfig, nullptr};
                }
                current = &sections[name];
                continue;
            }
            const auto equals = text.find('=');
            const std::string key = equals == std::string::npos ? std::string() : Trim(text.substr(0, equals));
            if (current == nullptr || !IsName(key)) {
                log::printf(true, log::Error, "settings: '{}' line {}: expected 'key = value' in a section", path,
                            number);
                return {FSDKError::InvalidConfig, nullptr};
            }
            const std::optional<Value> value = ParseValue(Trim(text.substr(equals + 1)));
            if (!value) {
                log::printf(true, log::Error, "settings: '{}' line {}: value of '{}' is neither an integer nor a text",
                            path, number, key);
                return {FSDKError::InvalidConfig, nullptr};
            }
            (*current)[key] = *value;
        }
        if (in.bad()) {
            log::printf(true, log::Error, "settings: cannot read '{}'", path);
            return {FSDKError::InvalidPath, nullptr};
        }
        return {FSDKError::Ok, detail::makeRef<ISettingsProvider, SettingsProvider>(path, std::move(sections))};
    } catch (const std::bad_alloc&) {
        return {FSDKError::HighMemoryUsage, nullptr};
    }
}

}  // namespace fsdk

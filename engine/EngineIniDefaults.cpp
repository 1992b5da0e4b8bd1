#include "engine/EngineIniDefaults.h"

#include "common/IniAccess.h"
#include "common/IniCache.h"
#include "common/Scrambler.h"
#include "common/StringUtil.h"
#include "engine/EngineIniKeys.h"

#include <cstdlib>
#include <span>
#include <string_view>

namespace qm::engine {
namespace {

std::string ValueToWrite(const EngineIniKey& key, const std::string& iniPath, const std::string& installDir)
{
    switch (key.Form) {
    case IniKeyForm::Fixed:
        return key.Default;
    case IniKeyForm::Int:
        return std::to_string(ReadIniIntFile(key.Section, key.Key, std::atoi(key.Default), iniPath));
    case IniKeyForm::Bool:
        return ReadIniBoolFile(key.Section, key.Key, std::string_view(key.Default) == "Yes", iniPath) ? "Yes" : "No";
    case IniKeyForm::Scrambled: {
        std::string value = ReadIniStringFile(key.Section, key.Key, key.Default, iniPath);
        if (!value.empty() && value.front() == '-') {
            return ScramblePassword(std::string_view(value).substr(1));
        }
        return value;
    }
    case IniKeyForm::Text:
    case IniKeyForm::Path:
        break;
    }
    return ReadIniStringFile(key.Section, key.Key, EngineIniDefault(key, installDir), iniPath);
}

// True when the keys of the table found in their section stand in table order.
bool InTableOrder(const platform::IniDocument& document, std::span<const EngineIniKey> keys)
{
    std::size_t next = 0;
    for (const std::string& name : document.KeyNames(keys.front().Section)) {
        std::size_t position = next;
        while (position < keys.size() && !EqualsNoCase(keys[position].Key, name)) {
            ++position;
        }
        if (position < keys.size()) {
            next = position + 1;
            continue;
        }
        // Either a key of another use, or a table key that stands before one that comes earlier in the table.
        for (std::size_t earlier = 0; earlier < next; ++earlier) {
            if (EqualsNoCase(keys[earlier].Key, name)) {
                return false;
            }
        }
    }
    return true;
}

void AddSectionChanges(const platform::IniDocument& current, std::span<const EngineIniKey> keys,
                       std::span<const std::string> values, std::vector<platform::IniChange>& changes)
{
    platform::IniDocument after = current;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        (void)after.Set(keys[i].Section, keys[i].Key, values[i]);
    }
    if (!InTableOrder(after, keys)) {
        for (const EngineIniKey& key : keys) {
            changes.push_back({key.Section, key.Key, std::nullopt});
        }
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        changes.push_back({keys[i].Section, keys[i].Key, values[i]});
    }
}

} // namespace

std::vector<std::string> EngineIniValues(const std::string& iniPath, const std::string& installDir)
{
    std::vector<std::string> values;
    for (const EngineIniKey& key : EngineIniKeys()) {
        values.push_back(ValueToWrite(key, iniPath, installDir));
    }
    return values;
}

std::vector<platform::IniChange> EngineIniWriteBack(const platform::IniDocument& current,
                                                    const std::vector<std::string>& values)
{
    std::vector<platform::IniChange> changes;
    const std::span<const EngineIniKey> keys = EngineIniKeys();
    if (values.size() != keys.size()) {
        return changes;
    }
    std::size_t begin = 0;
    while (begin < keys.size()) {
        std::size_t end = begin + 1;
        while (end < keys.size() && std::string_view(keys[end].Section) == keys[begin].Section) {
            ++end;
        }
        AddSectionChanges(current, keys.subspan(begin, end - begin),
                          std::span<const std::string>(values).subspan(begin, end - begin), changes);
        begin = end;
    }
    return changes;
}

Result<void> WriteEngineIniDefaults(const std::string& iniPath, const std::string& installDir)
{
    const std::vector<std::string> values = EngineIniValues(iniPath, installDir);
    Result<void> written = platform::IniWriteMany(iniPath, EngineIniWriteBack(*LoadIniCached(iniPath), values));
    NoteIniWritten(iniPath);
    return written;
}

} // namespace qm::engine

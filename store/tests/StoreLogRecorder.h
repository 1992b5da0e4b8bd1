// A Logger for store tests that keeps the lines the store reports, set as the store's log while it lives.
#pragma once

#include "common/Log.h"
#include "store/StoreSeams.h"

#include <cstdio>
#include <string>
#include <vector>

namespace qm::test {

class StoreLogRecorder final : public Logger {
public:
    StoreLogRecorder() { store::SetStoreLog(this); }

    ~StoreLogRecorder() override { store::SetStoreLog(nullptr); }

    StoreLogRecorder(const StoreLogRecorder&) = delete;
    StoreLogRecorder& operator=(const StoreLogRecorder&) = delete;

    [[gnu::format(printf, 2, 0)]] void VLog(const char* format, va_list args) override
    {
        char line[4096];
        static_cast<void>(std::vsnprintf(line, sizeof line, format, args));
        Lines.emplace_back(line);
    }

    void Write(const char* bytes, size_t length) override { Lines.emplace_back(bytes, length); }

    void Flush() override {}

    /// All lines, each ending in '\n', for searching.
    std::string Text() const
    {
        std::string all;
        for (const std::string& line : Lines) {
            all.append(line).push_back('\n');
        }
        return all;
    }

    std::vector<std::string> Lines;
};

} // namespace qm::test

// A main for the fuzz targets in builds without libFuzzer: feeds every file named on the command line, and every
// file inside every directory named there, to the target's entry once, in name order, and reports each input it
// runs. The run fails when an argument cannot be read or names no input at all; a fault in the target ends it
// through the sanitizers or the target's own abort, as under libFuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool ReadWhole(const std::filesystem::path& file, std::string& bytes)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(arg, error)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg, error)) {
                if (entry.is_regular_file(error)) {
                    inputs.push_back(entry.path());
                }
            }
        } else {
            inputs.push_back(arg);
        }
        if (error) {
            static_cast<void>(std::fprintf(stderr, "replay: cannot list %s: %s\n", argv[i], error.message().c_str()));
            return 1;
        }
    }
    if (inputs.empty()) {
        static_cast<void>(std::fprintf(stderr, "replay: no inputs\n"));
        return 1;
    }
    std::sort(inputs.begin(), inputs.end());
    std::string bytes;
    for (const auto& input : inputs) {
        if (!ReadWhole(input, bytes)) {
            static_cast<void>(std::fprintf(stderr, "replay: cannot read %s\n", input.c_str()));
            return 1;
        }
        static_cast<void>(std::printf("replay: %s (%zu bytes)\n", input.c_str(), bytes.size()));
        static_cast<void>(std::fflush(stdout));
        // A copy of exactly the input's size, so that reading past its end is caught as under libFuzzer.
        const std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    static_cast<void>(std::printf("replay: %zu inputs passed\n", inputs.size()));
    return 0;
}

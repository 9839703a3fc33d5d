// Runs a fuzz target once over each file of the folders (or the files) it is given, in name
// order, so the corpora replay with the ordinary compiler as a test. A finding aborts the run as
// it would under the fuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);
// A target whose servers run threads stops them here, before the program's statics go: a static
// of a library first used on a server thread is destroyed before the target's own.
extern "C" __attribute__((weak)) void ZelkoFuzzAfterReplay();

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg = argv[i];
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg))
                if (entry.is_regular_file()) inputs.push_back(entry.path());
        } else if (std::filesystem::is_regular_file(arg)) {
            inputs.push_back(arg);
        } else {
            std::fprintf(stderr, "no such corpus: %s\n", arg.c_str());
            return 2;
        }
    }
    std::sort(inputs.begin(), inputs.end());
    // The empty input is every target's first case, corpus or not.
    LLVMFuzzerTestOneInput(nullptr, 0);
    for (const auto& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "%s\n", path.filename().c_str());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    if (ZelkoFuzzAfterReplay) ZelkoFuzzAfterReplay();
    std::printf("%zu inputs replayed\n", inputs.size() + 1);
    return 0;
}

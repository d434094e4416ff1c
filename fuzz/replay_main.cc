// Replays a fuzz target's committed corpus with the ordinary compiler: every file of the directory,
// in name order, is fed once to LLVMFuzzerTestOneInput, whose checks abort on a mismatch.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);
int main(int argc, char **argv) {
    std::map<std::string, std::string> inputs;  // read before the target enters its private root
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(argc == 2 ? argv[1] : "", ec))
        inputs[e.path().filename()] =
            (std::ostringstream() << std::ifstream(e.path(), std::ios::binary).rdbuf()).str();
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR (not empty)\n", argv[0]);
        return 1;
    }
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    for (const auto &[name, bytes] : inputs) {
        std::fprintf(stderr, "replay: %s\n", name.c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    std::printf("%zu passed, 0 failed\n", inputs.size());
}

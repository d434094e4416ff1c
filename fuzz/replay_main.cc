// Replays a fuzz target's committed corpus with the ordinary compiler: every
// file of the directory is fed once to LLVMFuzzerTestOneInput, whose model
// checks abort on a mismatch.  ctest runs one replay per target.
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    std::vector<std::string> names;
    if (DIR *d = opendir(argv[1])) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        closedir(d);
    }
    if (names.empty()) {
        std::fprintf(stderr, "replay: no corpus in %s\n", argv[1]);
        return 1;
    }
    std::sort(names.begin(), names.end());
    std::vector<std::vector<uint8_t>> inputs;
    for (const auto &n : names) {  // read before the target may enter its private root
        std::ifstream in(std::string(argv[1]) + "/" + n, std::ios::binary);
        inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        std::fprintf(stderr, "replay: %s\n", names[i].c_str());
        LLVMFuzzerTestOneInput(inputs[i].data(), inputs[i].size());
    }
    std::printf("%zu passed, 0 failed\n", inputs.size());
    return 0;
}

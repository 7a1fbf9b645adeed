// Runs a fuzz target once over every input file of the folders (or files)
// given, without libFuzzer: the corpora and the regression inputs become a
// plain test in builds without clang's fuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (fs::is_regular_file(argv[i], ec))
            files.push_back(argv[i]);
        for (fs::recursive_directory_iterator it(argv[i], ec), end; !ec && it != end;
             it.increment(ec)) {
            if (it->path().filename().string()[0] == '.') // .gitkeep, hidden folders
                it.disable_recursion_pending();
            else if (it->is_regular_file())
                files.push_back(it->path().string());
        }
    }
    std::sort(files.begin(), files.end());
    for (const std::string& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        std::fprintf(stderr, "%s\n", f.c_str());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%zu inputs ran\n", files.size());
    return files.empty() ? 1 : 0;
}

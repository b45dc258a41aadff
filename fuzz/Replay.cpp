// Runs a fuzz harness once on each file given, or on each file of each folder
// given, without a fuzzing engine: the corpus replay of builds without
// libFuzzer. Options (arguments starting with '-') are libFuzzer's and are
// ignored. A harness that finds a fault aborts; otherwise the exit code is 0.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {
bool RunFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of its own, so that reading past the input is not hidden by a
    // larger buffer.
    std::vector<uint8_t> input(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return true;
}
} // namespace

int main(int argc, char **argv)
{
    int files = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!arg.empty() && arg[0] == '-')
            continue;
        std::error_code error;
        if (std::filesystem::is_directory(arg, error)) {
            std::vector<std::filesystem::path> paths;
            for (const auto &entry : std::filesystem::directory_iterator(arg))
                if (entry.is_regular_file())
                    paths.push_back(entry.path());
            for (const auto &path : paths)
                files += RunFile(path) ? 1 : (ok = false, 0);
        } else {
            files += RunFile(arg) ? 1 : (ok = false, 0);
        }
    }
    std::printf("replayed %d inputs\n", files);
    return ok && files > 0 ? 0 : 1;
}

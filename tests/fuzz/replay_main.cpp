// Replays saved inputs through a fuzz target without libFuzzer, so that the ordinary
// test build runs every corpus file and every crash regression.
//
//   replay FILE_OR_FOLDER...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int replay(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> read{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
    // A block of exactly the input's size, as libFuzzer hands it over: a read one byte
    // past the end lands outside it, where the address sanitizer sees it.
    const std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[read.size()]);
    std::copy(read.begin(), read.end(), bytes.get());
    LLVMFuzzerTestOneInput(bytes.get(), read.size());
    return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                if (entry.is_regular_file()) count += replay(entry.path());
            }
        } else {
            count += replay(path);
        }
    }
    std::printf("replayed %d inputs\n", count);
    return count > 0 ? 0 : 1;
}

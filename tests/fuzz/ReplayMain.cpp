// Runs a fuzz target without libFuzzer: every file of the corpus folders given on the command line,
// then a fixed sequence of mutations of each (bit flips, truncations, splices), so that a build with
// g++ and the sanitizers still exercises the parser on hostile input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

constexpr int mutationsPerInput = 300;
constexpr std::size_t maxInputBytes = 1 << 20;

void runOne(const std::vector<std::uint8_t>& input) {
    LLVMFuzzerTestOneInput(input.data(), input.size());
}

void mutateAndRun(const std::vector<std::uint8_t>& seed, std::mt19937_64& random) {
    for (int round = 0; round < mutationsPerInput; ++round) {
        std::vector<std::uint8_t> input = seed;
        const int edits = 1 + static_cast<int>(random() % 8);
        for (int edit = 0; edit < edits && !input.empty(); ++edit) {
            const std::size_t at = random() % input.size();
            switch (random() % 5) {
            case 0: input[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
            case 1: input[at] = static_cast<std::uint8_t>(random()); break;
            case 2: input[at] = (random() % 2) ? 0xFF : 0x00; break;
            case 3: input.resize(at); break;
            case 4: {
                const std::size_t from = random() % input.size();
                const std::size_t count = std::min<std::size_t>(random() % 16, input.size() - std::max(at, from));
                std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(from), count, input.begin() + static_cast<std::ptrdiff_t>(at));
                break;
            }
            }
        }
        runOne(input);
    }
}

} // namespace

int main(int argc, char** argv) {
    std::mt19937_64 random(0x5eed);
    std::vector<std::vector<std::uint8_t>> seeds{{}, std::vector<std::uint8_t>(4096, 0), std::vector<std::uint8_t>(4096, 0xFF)};
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        if (!std::filesystem::is_directory(argv[i], error)) continue;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[i])) {
            if (!entry.is_regular_file() || entry.file_size() > maxInputBytes) continue;
            std::ifstream file(entry.path(), std::ios::binary);
            seeds.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        }
    }
    for (const auto& seed : seeds) {
        runOne(seed);
        mutateAndRun(seed, random);
    }
    std::printf("replayed %zu inputs with %d mutations each\n", seeds.size(), mutationsPerInput);
    return 0;
}

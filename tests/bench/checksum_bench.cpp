// Checksum of a 256 MiB patch file, streamed from the page cache.
#include <chrono>
#include <cstdio>

#include "tests/bench/bench_support.h"
#include "tests/support/isolated_env.h"
#include "updatelib/transfer/patch_checksum.h"

int main() {
    tern_test::IsolatedEnv env;
    constexpr size_t kFileBytes = size_t{256} << 20;
    const std::string path = env.TempDir() + "patch.bin";
    tern_bench::WriteLargeFile(path, kFileBytes);
    Tern::ChecksumOfFile(path);  // brings the file into the page cache

    std::vector<double> rates;
    for (int round = 0; round < 3; ++round) {
        const auto start = std::chrono::steady_clock::now();
        if (!Tern::ChecksumOfFile(path)) return 1;
        rates.push_back(kFileBytes / 1073741824.0 / tern_bench::SecondsSince(start));
    }
    std::printf("BENCH checksum %.2f GiB_per_s\n", tern_bench::Median(rates));
    return 0;
}

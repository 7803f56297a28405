// Deciphering speed of CRijndael against OpenSSL's EVP AES-128-ECB (no padding) on the same 1 MiB, in one
// run; prints MB/s of both and their ratio. Run with OPENSSL_ia32cap="~0x200000200000000" to compare with
// OpenSSL's table-based code (AES-NI and SSSE3 off).
#include "crypto/rijndael.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kSize = 1 << 20;

struct Data {
    std::vector<unsigned char> key = std::vector<unsigned char>(16);
    std::vector<unsigned char> cipher = std::vector<unsigned char>(kSize);
    Data() {
        std::mt19937 random(2024);
        for (auto& b : key)
            b = static_cast<unsigned char>(random());
        for (auto& b : cipher)
            b = static_cast<unsigned char>(random());
    }
};

const Data& TheData() {
    static const Data data;
    return data;
}

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CipherContext OpenSslDecipherer(const std::vector<unsigned char>& key) {
    CipherContext ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, key.data(), nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1)
        return CipherContext(nullptr, EVP_CIPHER_CTX_free);
    return ctx;
}

void CRijndaelDecipher1MiB(benchmark::State& state) {
    const Data& data = TheData();
    std::vector<char> out(kSize);
    CRijndael rijndael;
    rijndael.SetKey(reinterpret_cast<const char*>(data.key.data()), nullptr, 16, 16);
    for (auto _ : state) {
        rijndael.Decipher(reinterpret_cast<const char*>(data.cipher.data()), out.data(), kSize);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kSize));
}

void OpenSslAes128EcbDecipher1MiB(benchmark::State& state) {
    const Data& data = TheData();
    std::vector<unsigned char> out(kSize);
    CipherContext ctx = OpenSslDecipherer(data.key);
    if (!ctx) {
        state.SkipWithError("OpenSSL set-up failed");
        return;
    }
    for (auto _ : state) {
        int written = 0;
        if (EVP_DecryptUpdate(ctx.get(), out.data(), &written, data.cipher.data(), static_cast<int>(kSize)) !=
                1 ||
            written != static_cast<int>(kSize)) {
            state.SkipWithError("OpenSSL deciphering failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kSize));
}

BENCHMARK(CRijndaelDecipher1MiB)->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenSslAes128EcbDecipher1MiB)->Unit(benchmark::kMicrosecond);

// Both must give the same plaintext, or the comparison means nothing.
bool SameResult() {
    const Data& data = TheData();
    std::vector<char> ours(kSize);
    CRijndael rijndael;
    rijndael.SetKey(reinterpret_cast<const char*>(data.key.data()), nullptr, 16, 16);
    rijndael.Decipher(reinterpret_cast<const char*>(data.cipher.data()), ours.data(), kSize);
    std::vector<unsigned char> theirs(kSize);
    CipherContext ctx = OpenSslDecipherer(data.key);
    int written = 0;
    return ctx &&
           EVP_DecryptUpdate(ctx.get(), theirs.data(), &written, data.cipher.data(),
                             static_cast<int>(kSize)) == 1 &&
           written == static_cast<int>(kSize) && std::memcmp(ours.data(), theirs.data(), kSize) == 0;
}

// The console report, plus MB/s of each benchmark and the ratio CRijndael / OpenSSL at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        // With --benchmark_repetitions the median stands for the benchmark.
        for (const Run& run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (it == run.counters.end() || run.error_occurred)
                continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median")
                continue;
            rates[run.run_name.function_name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const char* cap = std::getenv("OPENSSL_ia32cap");
        std::printf("\nOPENSSL_ia32cap=%s\n", cap != nullptr ? cap : "(unset)");
        for (const auto& [name, rate] : rates)
            std::printf("%-40s %10.1f MB/s\n", name.c_str(), rate / 1e6);
        const auto ours = rates.find("CRijndaelDecipher1MiB");
        const auto theirs = rates.find("OpenSslAes128EcbDecipher1MiB");
        if (ours != rates.end() && theirs != rates.end() && theirs->second > 0)
            std::printf("ratio CRijndael / OpenSSL: %.2f\n", ours->second / theirs->second);
    }

private:
    std::map<std::string, double> rates;
};

} // namespace

int main(int argc, char** argv) {
    if (!SameResult()) {
        std::fprintf(stderr, "CRijndael and OpenSSL disagree\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

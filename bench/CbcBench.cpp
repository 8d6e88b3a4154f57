// Cipher-block chaining over one 16 MiB buffer: our two ciphers next to libgcrypt and Botan, in one
// run, so the ratios in bench/README.md come from the same machine state.

#include <benchmark/benchmark.h>
#include <botan/cipher_mode.h>
#include <gcrypt.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ciphers/CpuPath.h"
#include "ciphers/IdeaCipher.h"
#include "ciphers/TripleDes.h"
#include "jobs/Cbc.h"
#include "jobs/HelperPool.h"
#include "jobs/ParallelCbc.h"
#include "base/KeyWords.h"

namespace morvex {
namespace {

constexpr std::size_t kBufferBytes = std::size_t{16} << 20;
constexpr std::size_t kBlocks = kBufferBytes / kBlockBytes;
constexpr double kMinSeconds = 0.3;

constexpr KeyWords kKeyWords{0x01234567u, 0x89abcdefu, 0xfedcba98u, 0x76543210u};
constexpr std::array<std::uint8_t, 24> kPeerKey{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                                0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10,
                                                0x89, 0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67};
constexpr std::array<std::uint8_t, 8> kIv{0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78};

enum class Direction { Encrypt, Decrypt };

struct Buffers {
    std::vector<std::uint8_t> in;
    std::vector<std::uint8_t> out;
};

[[nodiscard]] Buffers MakeBuffers() {
    Buffers buffers{std::vector<std::uint8_t>(kBufferBytes), std::vector<std::uint8_t>(kBufferBytes)};
    std::mt19937 rng(42);
    for (std::uint8_t& byte : buffers.in) {
        byte = static_cast<std::uint8_t>(rng());
    }
    return buffers;
}

void Finish(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kBufferBytes));
}

template <class Cipher>
void RunMorvex(benchmark::State& state, Direction direction) {
    const Cipher cipher(kKeyWords);
    Buffers buffers = MakeBuffers();
    for (auto _ : state) {
        ChainWords chain{0x3c2d1e0fu, 0x78695a4bu};
        if (direction == Direction::Encrypt) {
            CbcEncrypt(cipher, chain, buffers.in.data(), buffers.out.data(), kBlocks);
        } else {
            CbcDecrypt(cipher, chain, buffers.in.data(), buffers.out.data(), kBlocks);
        }
        benchmark::DoNotOptimize(buffers.out.data());
        benchmark::ClobberMemory();
    }
    Finish(state);
}

// Our decryption with the bulk code held to one instruction set.
template <class Cipher>
void RunMorvexOnPath(benchmark::State& state, CpuPath path) {
    const CpuPath previous = ActiveCpuPath();
    if (!SelectCpuPath(path)) {
        state.SkipWithError("this processor cannot run the path");
        return;
    }
    RunMorvex<Cipher>(state, Direction::Decrypt);
    static_cast<void>(SelectCpuPath(previous));
}

// Decryption as a job does it: the buffer shared among one thread per core, the job's pool started
// once. Timed by the wall clock, since the processor time of the calling thread leaves out the
// helpers' share.
template <class Cipher>
void RunMorvexOnAllCores(benchmark::State& state) {
    const Cipher cipher(kKeyWords);
    Buffers buffers = MakeBuffers();
    HelperPool pool(NativePlatform(), 0);
    for (auto _ : state) {
        ChainWords chain{0x3c2d1e0fu, 0x78695a4bu};
        ParallelCbcDecrypt(cipher, chain, buffers.in.data(), buffers.out.data(), kBlocks, pool);
        benchmark::DoNotOptimize(buffers.out.data());
        benchmark::ClobberMemory();
    }
    Finish(state);
}

void RunLibgcrypt(benchmark::State& state, int algorithm, std::size_t keyBytes, Direction direction) {
    static const bool ready = [] {
        gcry_check_version(nullptr);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    benchmark::DoNotOptimize(ready);
    gcry_cipher_hd_t handle = nullptr;
    if (gcry_cipher_open(&handle, algorithm, GCRY_CIPHER_MODE_CBC, 0) != 0 ||
        gcry_cipher_setkey(handle, kPeerKey.data(), keyBytes) != 0) {
        state.SkipWithError("libgcrypt refused the cipher");
        gcry_cipher_close(handle);
        return;
    }
    Buffers buffers = MakeBuffers();
    for (auto _ : state) {
        gcry_cipher_setiv(handle, kIv.data(), kIv.size());
        const gcry_error_t error =
            direction == Direction::Encrypt
                ? gcry_cipher_encrypt(handle, buffers.out.data(), kBufferBytes, buffers.in.data(), kBufferBytes)
                : gcry_cipher_decrypt(handle, buffers.out.data(), kBufferBytes, buffers.in.data(), kBufferBytes);
        if (error != 0) {
            state.SkipWithError("libgcrypt failed");
            break;
        }
        benchmark::DoNotOptimize(buffers.out.data());
        benchmark::ClobberMemory();
    }
    gcry_cipher_close(handle);
    Finish(state);
}

// Botan works in place, so each pass runs over the previous pass's result: the cost is the same.
void RunBotan(benchmark::State& state, const std::string& mode, std::size_t keyBytes, Direction direction) {
    std::unique_ptr<Botan::Cipher_Mode> cipher = Botan::Cipher_Mode::create(
        mode, direction == Direction::Encrypt ? Botan::ENCRYPTION : Botan::DECRYPTION);
    if (!cipher) {
        state.SkipWithError("Botan offers no such mode");
        return;
    }
    cipher->set_key(kPeerKey.data(), keyBytes);
    Buffers buffers = MakeBuffers();
    for (auto _ : state) {
        cipher->start(kIv.data(), kIv.size());
        benchmark::DoNotOptimize(cipher->process(buffers.in.data(), kBufferBytes));
        benchmark::ClobberMemory();
    }
    Finish(state);
}

void Register(const std::string& name, std::function<void(benchmark::State&)> run) {
    benchmark::RegisterBenchmark(name.c_str(), std::move(run))->MinTime(kMinSeconds)->Unit(benchmark::kMillisecond);
}

// Registered before main runs, in a fixed order: per operation, 3DES then IDEA, ours first.
const bool kRegistered = [] {
    for (const Direction direction : {Direction::Encrypt, Direction::Decrypt}) {
        const std::string op = direction == Direction::Encrypt ? "CbcEncrypt/" : "CbcDecrypt/";
        Register(op + "morvex/3des", [direction](benchmark::State& s) { RunMorvex<TripleDes>(s, direction); });
        Register(op + "libgcrypt/3des",
                 [direction](benchmark::State& s) { RunLibgcrypt(s, GCRY_CIPHER_3DES, 24, direction); });
        Register(op + "botan/3des",
                 [direction](benchmark::State& s) { RunBotan(s, "TripleDES/CBC/NoPadding", 24, direction); });
        Register(op + "morvex/idea", [direction](benchmark::State& s) { RunMorvex<IdeaCipher>(s, direction); });
        Register(op + "libgcrypt/idea",
                 [direction](benchmark::State& s) { RunLibgcrypt(s, GCRY_CIPHER_IDEA, 16, direction); });
        Register(op + "botan/idea",
                 [direction](benchmark::State& s) { RunBotan(s, "IDEA/CBC/NoPadding", 16, direction); });
    }
    for (const char* cipher : {"3des", "idea"}) {
        const std::string name = std::string("CbcDecrypt/morvex-all-cores/") + cipher;
        auto run = cipher == std::string("3des") ? std::function<void(benchmark::State&)>(RunMorvexOnAllCores<TripleDes>)
                                                 : std::function<void(benchmark::State&)>(RunMorvexOnAllCores<IdeaCipher>);
        benchmark::RegisterBenchmark(name.c_str(), std::move(run))
            ->MinTime(kMinSeconds)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    for (const CpuPath path : SupportedCpuPaths()) {
        const std::string prefix = "CbcDecrypt/morvex-" + std::string(CpuPathName(path));
        Register(prefix + "/3des", [path](benchmark::State& s) { RunMorvexOnPath<TripleDes>(s, path); });
        Register(prefix + "/idea", [path](benchmark::State& s) { RunMorvexOnPath<IdeaCipher>(s, path); });
    }
    return true;
}();

}  // namespace
}  // namespace morvex

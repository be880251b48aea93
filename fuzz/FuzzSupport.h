#pragma once

// Small helpers shared by the harnesses: a private scratch folder for parsers
// that only read files, a deterministic random source for the crypto contexts,
// and a check that aborts (so libFuzzer records the input) when a property of
// the code under test does not hold.

#include <cryptopp/aes.h>
#include <cryptopp/cryptlib.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace vorn::fuzz {

// AES in ECB mode with PKCS padding under `key`: how the client seals a
// request's body and the station a reply, for seeds and inputs that must get
// past decryption.
inline std::string EncryptPadded(const std::string& key, const std::string& plain) {
    CryptoPP::ECB_Mode<CryptoPP::AES>::Encryption aes(reinterpret_cast<const CryptoPP::byte*>(key.data()),
                                                      key.size());
    std::string cipher;
    CryptoPP::StringSource(plain, true,
                           new CryptoPP::StreamTransformationFilter(aes, new CryptoPP::StringSink(cipher)));
    return cipher;
}

// Aborts with a message when `ok` is false: a harness's own findings (a broken
// round trip, a wrong length) are crashes like any other.
inline void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

// A folder of this process's own, removed at exit. It lies in /dev/shm when
// that exists (no disk writes per input), else in the temporary folder. HOME and
// the XDG folders point into it, so that no harness touches the real store, log
// or library of the user running it.
class Scratch {
public:
    static Scratch& Get() {
        static Scratch scratch;
        return scratch;
    }
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    // Replaces the file's content with the bytes; false when it cannot be written.
    static bool WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        return static_cast<bool>(out.flush());
    }

private:
    Scratch() {
        std::error_code ec;
        const std::string base = std::filesystem::is_directory("/dev/shm", ec)
                                     ? std::string("/dev/shm")
                                     : std::filesystem::temp_directory_path(ec).string();
        path_ = base + "/vorn-fuzz-" + std::to_string(::getpid());
        std::filesystem::remove_all(path_, ec);
        std::filesystem::create_directories(path_ + "/home/.config", ec);
        std::filesystem::create_directories(path_ + "/home/.local/share", ec);
        ::setenv("HOME", (path_ + "/home").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (path_ + "/home/.config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (path_ + "/home/.local/share").c_str(), 1);
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }

    std::string path_;
};

// A random source that repeats a fixed 16-byte client key first and then a
// counting pattern, so that every context made from it has the same AES key.
class FixedRandom : public CryptoPP::RandomNumberGenerator {
public:
    explicit FixedRandom(std::string clientKey) : clientKey_(std::move(clientKey)) {}

    void GenerateBlock(CryptoPP::byte* output, size_t size) override {
        for (size_t i = 0; i < size; ++i, ++drawn_) {
            output[i] = drawn_ < clientKey_.size() ? static_cast<CryptoPP::byte>(clientKey_[drawn_])
                                                   : static_cast<CryptoPP::byte>(drawn_ * 7 + 3);
        }
    }
    // The next context starts with the client key again.
    void Rewind() { drawn_ = 0; }

private:
    std::string clientKey_;
    std::size_t drawn_ = 0;
};

}  // namespace vorn::fuzz

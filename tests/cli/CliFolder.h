#pragma once

// A folder of the test's own for the tool's files, removed afterwards, and what the tests read and
// write there.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <system_error>

namespace morvex::test {

class CliFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        dir_ = std::filesystem::temp_directory_path() /
               ("morvex-cli-" + std::to_string(std::random_device{}()) + "-" + std::to_string(counter++));
        ASSERT_TRUE(std::filesystem::create_directory(dir_)) << dir_;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    [[nodiscard]] std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    [[nodiscard]] bool Exists(const std::string& name) const { return std::filesystem::exists(Path(name)); }

    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream file(Path(name), std::ios::binary);
        file << bytes;
        ASSERT_TRUE(file.good());
    }

    [[nodiscard]] std::string Read(const std::string& name) const {
        std::ifstream file(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    // Every name in the folder, hidden ones included.
    [[nodiscard]] std::set<std::string> Entries() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    std::filesystem::path dir_;
};

inline std::string RandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFFu);
    }
    return bytes;
}

}  // namespace morvex::test

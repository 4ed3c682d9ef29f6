#include "tests/support/TestSupport.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsupport {

std::string ExeDir() {
    return std::filesystem::canonical("/proc/self/exe").parent_path().string() + "/";
}

TScratchDir::TScratchDir(const std::string& name) {
    auto dir = std::filesystem::temp_directory_path() / "stirpello-tests" / (name + "-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    path_ = dir.string() + "/";
}

TScratchDir::~TScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace testsupport

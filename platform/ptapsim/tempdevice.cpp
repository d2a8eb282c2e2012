#include "ptapsim.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace ptapsim {

TempDevice::TempDevice(Config config, const std::string& socketName)
    : mSocketName(socketName), mSimulator(std::move(config)) {
    std::error_code ec;
    std::string pattern = (std::filesystem::temp_directory_path(ec) / "ptapsim-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        mError = "cannot create a temporary folder: " + std::string(std::strerror(errno));
        return;
    }
    mDir = pattern;
    mSimulator.Start(SocketPath(), mError);
}

TempDevice::~TempDevice() {
    mSimulator.Stop();
    if (!mDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(mDir, ec);
    }
}

}  // namespace ptapsim

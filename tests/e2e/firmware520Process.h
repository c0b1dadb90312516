// Shared by the model-520 firmware process tests: the emulator program, a host firmware image
// with its version tail, and a fixture with an isolated service environment and log checks.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "testSupport.h"

namespace {

const std::string kEmu = vtest::binPath("emulator/vel-emulate");

std::string hostImage(const std::string& version, size_t size) {
    std::string tail = "Version: " + version + " build 0520";
    std::string image(size - tail.size(), '\0');
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>((i * 131) >> 3);
    return image + tail;
}

struct Firmware520Process : ::testing::Test {
    vtest::IsolatedEnv env;
    vtest::TempDir flash;
    std::vector<std::string> envVars() const { return env.processEnv(); }
    void put(const std::string& name, const std::string& bytes) {
        std::ofstream(env.fwDir() + "/" + name, std::ios::binary) << bytes;
    }
    int count(const std::string& needle) { return env.logCount(needle); }
    void expectInOrder(const std::vector<std::string>& needles) { env.expectLogInOrder(needles); }
};

}  // namespace

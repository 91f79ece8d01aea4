// A test fixture for tests that write files: it hands out paths in the test
// temporary directory, unique to the process, and removes them after each test.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "common/bytes.h"

namespace varn {

class TempFileTest : public ::testing::Test {
protected:
    // Paths are TempDir + prefix + pid + "_" + name.
    explicit TempFileTest(std::string prefix) : prefix_(std::move(prefix)) {}

    std::string path(const std::string& name) {
        std::string p = ::testing::TempDir() + prefix_ + std::to_string(::getpid()) + "_" + name;
        made_.push_back(p);
        return p;
    }
    void TearDown() override {
        for (const auto& p : made_) std::remove(p.c_str());
    }
    static void write(const std::string& p, const std::string& content) {
        std::ofstream(p, std::ios::binary) << content;
    }
    static Bytes read_file(const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(f), {});
    }

private:
    std::string prefix_;
    std::vector<std::string> made_;
};

}  // namespace varn

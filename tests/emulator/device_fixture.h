// A fresh device image per test, in a temporary folder of its own, with a
// device opened on it and one session.
#pragma once

#include "device.h"
#include "device_path.h"
#include "files.h"
#include "identity.h"
#include "win32_codes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace pspc::testing {

namespace fs = std::filesystem;

using testsupport::readFile;

inline fs::path makeTemporaryFolder() { return testsupport::makeScratchFolder("pspc-device"); }

inline void writeHostFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

inline std::vector<uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

class DeviceTest : public ::testing::Test {
protected:
  void SetUp() override {
    scratch_ = makeTemporaryFolder();
    imageDir_ = scratch_ / "image";
    std::string error;
    ASSERT_TRUE(image::create(imageDir_, identity(), error)) << error;
    open();
  }
  void TearDown() override {
    device_.reset();
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }
  virtual Identity identity() const { return Identity{}; }

  void open() {
    device_ = std::make_unique<Device>(imageDir_);
    session_ = device_->openSession();
  }
  void reopen() {
    device_.reset();
    open();
  }

  fs::path hostPath(const std::string& relative) const { return imageDir_ / "fs" / relative; }

  uint32_t createFile(const std::u16string& path, uint32_t access, uint32_t share, uint32_t disposition,
                      uint32_t& lastError, uint32_t attributes = FILE_ATTRIBUTE_NORMAL) {
    return device_->createFile(session_, path, access, share, disposition, attributes, lastError);
  }

  // Creates (or replaces) a device file with `content`; false on any failure.
  bool putFile(const std::u16string& path, const std::string& content) {
    uint32_t lastError = 0, written = 0;
    const uint32_t handle = createFile(path, GENERIC_WRITE, 0, CREATE_ALWAYS, lastError);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool ok = device_->writeFile(session_, handle, reinterpret_cast<const uint8_t*>(content.data()),
                                       uint32_t(content.size()), written, lastError) &&
                    written == content.size();
    device_->closeHandle(session_, handle, lastError);
    return ok;
  }

  // The whole content of a device file, or nullopt when it cannot be read.
  std::optional<std::string> getFile(const std::u16string& path) {
    uint32_t lastError = 0;
    const uint32_t handle = createFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, lastError);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    std::vector<uint8_t> data;
    const bool ok = device_->readFile(session_, handle, 1u << 20, data, lastError);
    device_->closeHandle(session_, handle, lastError);
    if (!ok) return std::nullopt;
    return std::string(data.begin(), data.end());
  }

  std::vector<FindData> find(const std::u16string& pattern) {
    std::vector<FindData> entries;
    uint32_t lastError = 0;
    EXPECT_TRUE(device_->findAllFiles(pattern, entries, lastError)) << "error " << lastError;
    return entries;
  }

  fs::path scratch_, imageDir_;
  std::unique_ptr<Device> device_;
  SessionId session_ = 0;
};

} // namespace pspc::testing

// A fresh device image per test, served on a TCP port of its own, with the
// op log's records to read back.
#pragma once

#include "device_fixture.h"
#include "server.h"

#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace pspc::testing {

class ServedDeviceTest : public ::testing::Test {
protected:
  void SetUp() override {
    scratch_ = makeTemporaryFolder();
    imageDir_ = scratch_ / "image";
    std::string error;
    ASSERT_TRUE(image::create(imageDir_, Identity{}, error)) << error;
    device_ = std::make_unique<Device>(imageDir_);
    log_ = std::make_unique<OpLog>(image::opLogFile(imageDir_));
  }
  void TearDown() override {
    server_.reset();
    log_.reset();
    device_.reset();
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }

  void serve(ServerOptions options = {}) {
    options.port = 0;
    server_ = std::make_unique<Server>(*device_, *log_, faults_, lineSpeed_, options);
    server_->start();
  }

  // Every op-log record so far; a line that is not a flat JSON object fails
  // the test.
  std::vector<FlatJson> records() const {
    std::vector<FlatJson> out;
    std::ifstream in(image::opLogFile(imageDir_));
    for (std::string line; std::getline(in, line);) {
      auto record = parseFlatJson(line);
      EXPECT_TRUE(record) << "not a JSON object: " << line;
      if (record) out.push_back(*record);
    }
    return out;
  }
  std::vector<FlatJson> recordsOf(const std::string& op) const {
    std::vector<FlatJson> out;
    for (auto& r : records())
      if (field(r, "op") == op) out.push_back(r);
    return out;
  }

  fs::path scratch_, imageDir_;
  std::unique_ptr<Device> device_;
  std::unique_ptr<OpLog> log_;
  Faults faults_;
  LineSpeed lineSpeed_;
  std::unique_ptr<Server> server_;
};

} // namespace pspc::testing

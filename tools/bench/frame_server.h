// The trivial native end of the link-limit measurement: it answers every
// length-prefixed frame at once with a frame of the size the request's first
// word asks for, and does nothing else. What a device could at best be.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <thread>

namespace bench {

class FrameServer {
public:
  FrameServer() = default;
  ~FrameServer() { stop(); }
  FrameServer(const FrameServer&) = delete;
  FrameServer& operator=(const FrameServer&) = delete;

  // Listens on 127.0.0.1 on a free port; throws std::runtime_error when it cannot.
  void start();
  void stop();
  uint16_t port() const { return port_; }

private:
  void acceptLoop();
  void serve(int fd);

  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  std::mutex mutex_;
  std::list<std::thread> connections_;
  std::list<int> connectionFds_;
};

} // namespace bench

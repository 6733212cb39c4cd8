// The device on its link: listens for RAPI connections as a PsPC in its cradle
// does (a listening device is an attached one), serves each connection on a
// thread of its own, and answers the console (the image folder's
// console.sock, see console_socket.h) through which the device's owner
// unplugs it, plugs it in again, slows the link or injects faults.
//
// With call options the device also calls the desktop's connection manager
// (see call_in.h) and serves RAPI on its own address; a device with a
// password then takes a RAPI connection only after the password it begins
// with.
#pragma once

#include "call_in.h"
#include "console_socket.h"
#include "control_connection.h"
#include "device.h"
#include "dispatch.h"
#include "faults.h"
#include "line_speed.h"
#include "op_log.h"
#include "rapi_commands.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace pspc {

struct ServerOptions {
  std::string bindAddress = "127.0.0.1";
  uint16_t port = controlwire::kRapiPort; // 0: any free port
  bool startUnplugged = false;
  size_t maxConnections = 16;
  // A request whose bytes stop arriving halfway is given up after this long.
  std::chrono::milliseconds partialRequestTimeout{30000};
  // Set: the device calls the connection manager, from bindAddress.
  std::optional<CallOptions> call;
};

class Server {
public:
  Server(Device& device, OpLog& log, Faults& faults, LineSpeed& lineSpeed, ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Opens the console and (unless starting unplugged) the link.
  // Throws std::runtime_error with a readable reason, e.g. a port in use or
  // the image served by another emulator already.
  void start();
  // Ends everything: listeners closed, connections dropped, threads joined.
  void stop();
  // Blocks until stop() or the console command "quit".
  void waitForQuit();
  bool quitRequested() const { return quit_; }

  bool plug(std::string& error); // listen again on the same port
  void unplug();                 // stop listening and drop every connection
  bool plugged() const;

  uint16_t linkPort() const { return linkPort_; }
  size_t connectionCount() const;
  std::string status() const;

  // Runs one console command line and gives the answer line.
  std::string console(const std::string& line);

private:
  struct Connection {
    int fd = -1;
    uint32_t id = 0;
    std::thread thread;
    std::atomic<bool> finished{false};
  };

  void acceptLoop();
  void controlLoop();
  void serve(Connection& connection, const std::string& peer);
  // Answers a connection's requests until it ends; `reason` says why it did.
  void serveRequests(uint32_t id, int fd, Dispatcher& dispatcher, std::string& reason);
  // Answers the requests that arrived whole; false (with the reason) when the
  // link is to be closed.
  bool answerArrived(uint32_t id, int fd, Dispatcher& dispatcher, rapiwire::FrameDecoder& decoder,
                     std::chrono::steady_clock::time_point& partialSince, std::string& reason);
  bool answer(uint32_t id, int fd, Dispatcher& dispatcher, const std::vector<uint8_t>& payload, std::string& reason);
  // Runs a decoded request through the injected faults and the dispatcher.
  bool runCall(uint32_t id, Dispatcher& dispatcher, const rapiwire::Request& request, std::vector<uint8_t>& reply,
               std::string& reason);
  // Why a held call or reply ended: an unplug or the emulator stopping.
  std::string hungUpReason() const;
  void reapFinished();
  // Holds a reply back for the set delay; false when the device was unplugged
  // or stopped meanwhile, which ends the connection with the reply unsent.
  bool holdReply(std::chrono::milliseconds delay);
  // Holds a call until the console command "release"; false when the device
  // was unplugged or stopped first.
  bool holdCall();
  // Holds a reply while the device is silent (an injected fault); false when
  // it was unplugged or stopped first.
  bool waitWhileSilent();
  // Reads exactly `count` bytes of a connection's opening; false when the
  // peer closed, stalled past the partial-request time-out, or the device
  // was unplugged or stopped. `why` says which.
  bool readOpening(int fd, uint8_t* bytes, size_t count, std::string& why);
  // The password a RAPI connection to a locked device begins with; false
  // (the connection to be closed) when it is missing or wrong.
  bool admit(uint32_t id, int fd, std::string& why);
  int listenOn(const std::string& address, uint16_t port, uint16_t& actualPort, std::string& error);

  Device& device_;
  OpLog& log_;
  Faults& faults_;
  LineSpeed& lineSpeed_;
  ServerOptions options_;

  // Requests a listener state from the accept thread, which alone opens and
  // closes the listener, and waits until it has done so.
  bool requestPlugState(bool plugged, std::string& error);

  mutable std::mutex mutex_;
  std::condition_variable quitCv_;
  std::condition_variable appliedCv_;
  // Wakes the replies and calls held back: unplugs and releases are counted.
  std::condition_variable heldCv_;
  uint64_t dropSeq_ = 0, releaseSeq_ = 0;
  unsigned heldCalls_ = 0;
  bool wantPlugged_ = true;
  uint64_t requestSeq_ = 0, appliedSeq_ = 0;
  std::string applyError_;
  int wakePipe_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> quit_{false};
  int linkFd_ = -1;
  ConsoleSocket console_;
  std::unique_ptr<CallIn> callIn_;
  uint16_t linkPort_ = 0;
  uint32_t nextConnectionId_ = 1;
  std::list<Connection> connections_;
  std::thread acceptThread_;
  std::thread controlThread_;
};

} // namespace pspc

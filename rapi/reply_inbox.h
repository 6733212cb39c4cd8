// What the device sent and the desktop has not yet taken: reply packets are
// cut from it one at a time, each length checked before anything is stored
// for it. Free of Windows headers: the link gives the bytes through a receive
// function, so the reply fuzzer (tests/fuzz) drives this same code natively.
#pragma once

#include "../protocol/wire_primitives.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace rapi {

enum class LinkError {
  None,
  Closed,      // the device closed the connection, or it failed
  TimedOut,    // no reply within the reply time-out
  BadFrame,    // a reply length beyond the frame cap: the stream cannot be trusted
  OutOfMemory, // a reply could not be stored; the rest of it is unread
};

// A receive function is called as
//   LinkError receive(uint8_t* into, size_t room, size_t& got)
// and either receives from 1 to `room` bytes (None, `got` set) or says why
// it could not.
class ReplyInbox {
public:
  // Room for every reply but a large read's, kept from one reply to the
  // next; the larger room a large read needs is given back once it is read.
  static constexpr size_t kRoom = 0x10000;

  // Takes the next reply packet (without its length word) into `reply`.
  template <typename Receive> LinkError take(Receive&& receive, std::vector<uint8_t>& reply) {
    if (LinkError e = receiveAtLeast(receive, 4); e != LinkError::None) return e;
    const uint32_t length = rapiwire::loadLe32(buffer_.data() + start_);
    // Checked before anything is allocated for it.
    if (length > rapiwire::kMaxFrameBytes) return LinkError::BadFrame;
    if (LinkError e = receiveAtLeast(receive, 4 + size_t(length)); e != LinkError::None) return e;
    const uint8_t* body = buffer_.data() + start_ + 4;
    try {
      reply.assign(body, body + length);
    } catch (const std::bad_alloc&) {
      return LinkError::OutOfMemory;
    }
    consume(4 + size_t(length));
    return LinkError::None;
  }

  // Takes one byte: a locked device's answer to the password that opens a
  // connection, which comes before any reply packet.
  template <typename Receive> LinkError takeByte(Receive&& receive, uint8_t& byte) {
    if (LinkError e = receiveAtLeast(receive, 1); e != LinkError::None) return e;
    byte = buffer_[start_];
    consume(1);
    return LinkError::None;
  }

  // What a closed connection left unread is no part of the next one.
  void clear() { start_ = end_ = 0; }

private:
  // Receives until at least `wanted` unread bytes are held. Each receive asks
  // for all the room there is, so a reply's length word and its body come in
  // one call: under Wine every socket call is a round trip to the Wine
  // server, and a second one per reply cost a third of a call's time.
  template <typename Receive> LinkError receiveAtLeast(Receive& receive, size_t wanted) {
    if (end_ - start_ >= wanted) return LinkError::None;
    // Unread bytes to the front, so that the room behind them is whole.
    if (start_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
      end_ -= start_;
      start_ = 0;
    }
    if (buffer_.size() < std::max(wanted, kRoom)) {
      try {
        buffer_.resize(std::max(wanted, kRoom));
      } catch (const std::bad_alloc&) {
        return LinkError::OutOfMemory;
      }
    }
    while (end_ < wanted) {
      size_t got = 0;
      if (LinkError e = receive(buffer_.data() + end_, buffer_.size() - end_, got); e != LinkError::None) return e;
      if (got == 0 || got > buffer_.size() - end_) return LinkError::Closed;
      end_ += got;
    }
    return LinkError::None;
  }

  void consume(size_t bytes) {
    start_ += bytes;
    if (start_ != end_) return;
    start_ = end_ = 0;
    if (buffer_.size() > kRoom) {
      buffer_.clear();
      buffer_.shrink_to_fit();
    }
  }

  // Received bytes not yet handed out are buffer_[start_, end_).
  std::vector<uint8_t> buffer_;
  size_t start_ = 0, end_ = 0;
};

} // namespace rapi

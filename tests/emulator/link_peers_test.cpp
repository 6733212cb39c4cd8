// Desktops that misbehave on the link: one that connects and says nothing,
// one that sends a packet header and stops, one that opens a thousand
// handles and vanishes, one that vanishes with replies unread. The device
// frees what each held — its handles, the host files behind them, its slot —
// and goes on serving the others.
#include "link_client.h"
#include "served_device_fixture.h"

#include <algorithm>
#include <thread>

namespace pspc::testing {
namespace {

using namespace rapiwire;
using namespace std::chrono_literals;

// Open descriptors of this process: the emulator's host files and sockets.
size_t openDescriptors() {
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

// A packet header announcing `length` bytes, and nothing of them.
std::vector<uint8_t> headerOnly(uint32_t length) {
  return {uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(length >> 24)};
}

class LinkPeers : public ServedDeviceTest {
protected:
  std::vector<FlatJson> disconnects() const { return recordsOf("disconnect"); }
  // Waits until `count` connections have ended and the server has let them go.
  bool waitForDisconnects(size_t count) const {
    return testsupport::waitUntil([&] { return disconnects().size() >= count; });
  }
  bool waitForConnections(size_t count) const {
    return testsupport::waitUntil([&] { return server_->connectionCount() == count; });
  }

  template <typename Body, typename Request> Body call(LinkClient& client, const Request& request) {
    Body body;
    auto payload = client.call(request);
    uint32_t hresult = 0;
    EXPECT_TRUE(payload && decodeReply(*payload, body, hresult) == ReplyStatus::Ok);
    return body;
  }
  uint32_t openFile(LinkClient& client, const std::u16string& path, uint32_t access, uint32_t share,
                    uint32_t disposition) {
    CreateFileRequest request;
    request.path = path;
    request.access = access;
    request.share = share;
    request.disposition = disposition;
    request.flagsAndAttributes = FILE_ATTRIBUTE_NORMAL;
    return call<ResultReply>(client, request).result;
  }
  // A whole install-like exchange: the file is made, written and closed.
  void copyFile(LinkClient& client, const std::u16string& path, const std::string& content) {
    const uint32_t handle = openFile(client, path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    WriteFileRequest write;
    write.handle = handle;
    write.data.assign(content.begin(), content.end());
    EXPECT_EQ(call<WriteFileReply>(client, write).written, content.size());
    EXPECT_EQ(call<ResultReply>(client, CloseHandleRequest{handle}).result, 1u);
  }
};

TEST_F(LinkPeers, ASilentPeerDoesNotHoldUpAnotherAndLeavesNothingBehind) {
  serve();
  LinkClient silent, busy;
  ASSERT_TRUE(silent.connect(server_->linkPort()));
  ASSERT_TRUE(busy.connect(server_->linkPort()));
  copyFile(busy, u"\\Windows\\served.dll", "while another peer says nothing");
  EXPECT_EQ(readFile(image::fsRoot(imageDir_) / "Windows" / "served.dll"), "while another peer says nothing");
  EXPECT_EQ(server_->connectionCount(), 2u);

  silent.close();
  ASSERT_TRUE(waitForDisconnects(1));
  auto gone = disconnects().at(0);
  EXPECT_EQ(field(gone, "reason"), "the desktop closed the link");
  EXPECT_EQ(field(gone, "handlesReleased"), "0");
  // The busy peer goes on as before.
  copyFile(busy, u"\\Windows\\after.dll", "still served");
  busy.close();
  EXPECT_TRUE(waitForConnections(0));
}

TEST_F(LinkPeers, APacketHeaderAloneIsGivenUpAndTheNextPeerIsServed) {
  ServerOptions options;
  options.partialRequestTimeout = 300ms;
  serve(options);
  // One announces the largest packet there may be and sends none of it; one
  // announces a small one and leaves at once.
  LinkClient waiting, leaving, next;
  ASSERT_TRUE(waiting.connect(server_->linkPort()));
  ASSERT_TRUE(waiting.sendRaw(headerOnly(kMaxFrameBytes)));
  ASSERT_TRUE(leaving.connect(server_->linkPort()));
  ASSERT_TRUE(leaving.sendRaw(headerOnly(40)));
  leaving.close();

  ASSERT_TRUE(next.connect(server_->linkPort()));
  copyFile(next, u"\\Temp\\next.txt", "served");
  EXPECT_TRUE(waiting.closedByPeer());
  ASSERT_TRUE(waitForDisconnects(2));
  std::vector<std::string> reasons;
  for (const FlatJson& record : disconnects()) {
    reasons.push_back(field(record, "reason").value_or(""));
    EXPECT_EQ(field(record, "handlesReleased"), "0");
  }
  std::sort(reasons.begin(), reasons.end());
  EXPECT_EQ(reasons, (std::vector<std::string>{"a request stopped arriving halfway", "the desktop closed the link"}));
  next.close();
  EXPECT_TRUE(waitForConnections(0));
}

TEST_F(LinkPeers, AThousandHandlesAreReleasedWhenTheirPeerVanishes) {
  serve();
  const size_t descriptorsBefore = openDescriptors();
  constexpr int kFiles = 10, kOpensPerFile = 50, kKeys = 500;
  LinkClient setup;
  ASSERT_TRUE(setup.connect(server_->linkPort()));
  for (int f = 0; f < kFiles; ++f) copyFile(setup, u"\\Windows\\held" + std::u16string(1, char16_t(u'0' + f)) + u".dll", "x");
  RegCreateKeyRequest create;
  create.key = HKEY_LOCAL_MACHINE;
  create.subKey = u"Software\\Held";
  RegKeyReply made;
  made.withDisposition = true;
  uint32_t hresult = 0;
  ASSERT_EQ(decodeReply(*setup.call(create), made, hresult), ReplyStatus::Ok);
  ASSERT_EQ(made.status, 0u);
  setup.close();
  ASSERT_TRUE(waitForDisconnects(1));

  {
    LinkClient holder;
    ASSERT_TRUE(holder.connect(server_->linkPort()));
    for (int f = 0; f < kFiles; ++f)
      for (int i = 0; i < kOpensPerFile; ++i)
        ASSERT_NE(openFile(holder, u"\\Windows\\held" + std::u16string(1, char16_t(u'0' + f)) + u".dll", GENERIC_READ,
                           FILE_SHARE_READ, OPEN_EXISTING),
                  INVALID_HANDLE_VALUE);
    RegOpenKeyRequest open;
    open.key = HKEY_LOCAL_MACHINE;
    open.subKey = u"Software\\Held";
    for (int k = 0; k < kKeys; ++k) ASSERT_EQ(call<RegKeyReply>(holder, open).status, 0u);
    EXPECT_EQ(device_->openHandleCount(), 1000u);
    // Every file handle is a host file held open.
    EXPECT_GE(openDescriptors(), descriptorsBefore + kFiles * kOpensPerFile);
  } // vanishes without closing anything

  ASSERT_TRUE(waitForDisconnects(2));
  EXPECT_EQ(field(disconnects().at(1), "handlesReleased"), "1000");
  EXPECT_EQ(device_->openHandleCount(), 0u);
  EXPECT_TRUE(waitForConnections(0));
  EXPECT_EQ(openDescriptors(), descriptorsBefore);

  // Nothing is held any more: each file opens for writing with no sharing.
  LinkClient next;
  ASSERT_TRUE(next.connect(server_->linkPort()));
  for (int f = 0; f < kFiles; ++f)
    EXPECT_NE(openFile(next, u"\\Windows\\held" + std::u16string(1, char16_t(u'0' + f)) + u".dll", GENERIC_WRITE, 0,
                       TRUNCATE_EXISTING),
              INVALID_HANDLE_VALUE);
}

TEST_F(LinkPeers, APeerThatVanishesWithRepliesUnreadReleasesItsHandles) {
  // Each reply is a megabyte; the peer asks for far more than the link's
  // buffers hold, reads none of it and resets the link. The device is then
  // stuck sending, and must notice.
  constexpr int kHandles = 24;
  const std::string content(kMaxDataBytes, 'm');
  {
    uint32_t lastError = 0, written = 0;
    const SessionId session = device_->openSession();
    const uint32_t handle = device_->createFile(session, u"\\Temp\\big.bin", GENERIC_WRITE, 0, CREATE_ALWAYS,
                                                FILE_ATTRIBUTE_NORMAL, lastError);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(device_->writeFile(session, handle, reinterpret_cast<const uint8_t*>(content.data()),
                                   uint32_t(content.size()), written, lastError));
    device_->closeSession(session);
  }
  serve();
  LinkClient greedy;
  ASSERT_TRUE(greedy.connect(server_->linkPort()));
  std::vector<uint8_t> requests;
  for (int i = 0; i < kHandles; ++i) {
    CreateFileRequest open;
    open.path = u"\\Temp\\big.bin";
    open.access = GENERIC_READ;
    open.share = FILE_SHARE_READ;
    open.disposition = OPEN_EXISTING;
    ASSERT_TRUE(greedy.sendRaw(frame(encodeRequest(open))));
    auto payload = greedy.receive();
    ResultReply opened;
    uint32_t hresult = 0;
    ASSERT_TRUE(payload && decodeReply(*payload, opened, hresult) == ReplyStatus::Ok);
    ASSERT_NE(opened.result, INVALID_HANDLE_VALUE);
    ReadFileRequest read;
    read.handle = opened.result;
    read.count = kMaxDataBytes;
    const auto packet = frame(encodeRequest(read));
    requests.insert(requests.end(), packet.begin(), packet.end());
  }
  ASSERT_TRUE(greedy.sendRaw(requests));
  std::this_thread::sleep_for(300ms);
  greedy.vanish();

  ASSERT_TRUE(waitForDisconnects(1));
  const FlatJson gone = disconnects().at(0);
  EXPECT_EQ(field(gone, "handlesReleased"), std::to_string(kHandles));
  EXPECT_EQ(device_->openHandleCount(), 0u);
  EXPECT_TRUE(waitForConnections(0));

  LinkClient next;
  ASSERT_TRUE(next.connect(server_->linkPort()));
  EXPECT_NE(openFile(next, u"\\Temp\\big.bin", GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
}

} // namespace
} // namespace pspc::testing

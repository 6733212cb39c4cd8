// The device on its link: requests over TCP, the op log, malformed peers,
// injected faults, unplugging and plugging in again.
#include "absent_arguments.h"
#include "hex_bytes.h"
#include "link_client.h"
#include "served_device_fixture.h"

namespace pspc::testing {
namespace {

using namespace rapiwire;

class ServerTest : public ServedDeviceTest {
protected:
  // Waits until the server has noticed that `count` connections ended.
  bool waitForRecords(const std::string& op, size_t count = 1) const {
    return testsupport::waitUntil([&] { return recordsOf(op).size() >= count; });
  }

  uint32_t createFile(LinkClient& client, const std::u16string& path, uint32_t access, uint32_t disposition,
                      uint32_t* lastError = nullptr) {
    CreateFileRequest request;
    request.path = path;
    request.access = access;
    request.share = 1;
    request.disposition = disposition;
    request.flagsAndAttributes = 128;
    auto payload = client.call(request);
    EXPECT_TRUE(payload);
    ResultReply reply;
    uint32_t hresult = 0;
    EXPECT_EQ(decodeReply(*payload, reply, hresult), ReplyStatus::Ok);
    if (lastError) *lastError = reply.lastError;
    return reply.result;
  }
  WriteFileReply write(LinkClient& client, uint32_t handle, const std::string& data) {
    WriteFileRequest request;
    request.handle = handle;
    request.data.assign(data.begin(), data.end());
    auto payload = client.call(request);
    WriteFileReply reply;
    uint32_t hresult = 0;
    EXPECT_TRUE(payload && decodeReply(*payload, reply, hresult) == ReplyStatus::Ok);
    return reply;
  }
};

// librapi2 sends an argument the caller left out as a single 0 word: the
// device takes each such request as the call it is and carries it out.
TEST_F(ServerTest, ArgumentsLeftOutAreAnsweredAsTheCallsSucceed) {
  serve();
  LinkClient client;
  ASSERT_TRUE(client.connect(server_->linkPort()));
  ASSERT_EQ(createFile(client, u"\\Temp\\x", 0xC0000000, 1), absentarguments::kHandle);
  for (const absentarguments::Case& c : absentarguments::kCases) {
    ASSERT_TRUE(client.sendRaw(frame(hexBytes(c.requestHex)))) << c.call;
    const auto payload = client.receive();
    ASSERT_TRUE(payload && payload->size() >= 12) << c.call;
    EXPECT_EQ(loadLe32(payload->data()), 0u) << c.call << ": the device refused the request";
    EXPECT_NE(loadLe32(payload->data() + 8), 0u)
        << c.call << " failed with error " << loadLe32(payload->data() + 4);
  }
  EXPECT_EQ(recordsOf("malformed").size(), 0u);
}

TEST_F(ServerTest, CallsRunOnTheDeviceAndAreLoggedWithTheirArguments) {
  serve();
  LinkClient client;
  ASSERT_TRUE(client.connect(server_->linkPort()));
  uint32_t handle = createFile(client, u"\\Windows\\New.dll", 0xC0000000, 1);
  ASSERT_NE(handle, 0xFFFFFFFFu);
  EXPECT_EQ(write(client, handle, "hello").written, 5u);
  auto closed = client.call(CloseHandleRequest{handle});
  ASSERT_TRUE(closed);
  EXPECT_EQ(readFile(image::fsRoot(imageDir_) / "Windows" / "New.dll"), "hello");

  auto storePayload = client.call(GetStoreInformationRequest{});
  StoreInformationReply store;
  uint32_t hresult = 0;
  ASSERT_EQ(decodeReply(*storePayload, store, hresult), ReplyStatus::Ok);
  EXPECT_EQ(store.storeSize, 8u << 20);
  EXPECT_TRUE(store.hasInfo);

  auto creates = recordsOf("CeCreateFile");
  ASSERT_EQ(creates.size(), 1u);
  EXPECT_EQ(field(creates[0], "path"), "\\Windows\\New.dll");
  EXPECT_EQ(field(creates[0], "disposition"), "1");
  EXPECT_EQ(field(creates[0], "result"), std::to_string(handle));
  auto writes = recordsOf("CeWriteFile");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(field(writes[0], "path"), "\\Windows\\New.dll"); // the handle reads as the file it names
  EXPECT_EQ(field(writes[0], "written"), "5");
  EXPECT_EQ(recordsOf("connect").size(), 1u);
  // Records carry increasing sequence numbers.
  auto all = records();
  for (size_t i = 1; i < all.size(); ++i)
    EXPECT_LT(std::stoul(*field(all[i - 1], "seq")), std::stoul(*field(all[i], "seq")));
}

TEST_F(ServerTest, RegistryCallsAreLoggedWithKeyPathsAndExactBytes) {
  serve();
  LinkClient client;
  ASSERT_TRUE(client.connect(server_->linkPort()));
  RegCreateKeyRequest create;
  create.key = 0x80000000u;
  create.subKey = u"VBS\\OLEScript";
  auto payload = client.call(create);
  RegKeyReply key;
  key.withDisposition = true;
  uint32_t hresult = 0;
  ASSERT_EQ(decodeReply(*payload, key, hresult), ReplyStatus::Ok);
  ASSERT_EQ(key.status, 0u);
  RegSetValueRequest set;
  set.key = key.key;
  set.type = 1;
  set.data = {0, 0};
  set.byteCount = 2;
  ASSERT_TRUE(client.call(set));

  RegQueryValueRequest query;
  query.key = key.key;
  query.dataCapacity = 16;
  payload = client.call(query);
  RegQueryValueReply value;
  ASSERT_EQ(decodeReply(*payload, value, hresult, 16u), ReplyStatus::Ok);
  EXPECT_EQ(value.status, 0u);
  EXPECT_EQ(value.type, 1u);
  EXPECT_EQ(value.data, (std::vector<uint8_t>{0, 0}));

  auto sets = recordsOf("CeRegSetValueEx");
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(field(sets[0], "key"), "HKEY_CLASSES_ROOT\\VBS\\OLEScript");
  EXPECT_EQ(field(sets[0], "valueName"), "null");
  EXPECT_EQ(field(sets[0], "byteCount"), "2");
  EXPECT_EQ(field(sets[0], "data"), "0000");
}

TEST_F(ServerTest, UnknownCommandGetsAnErrorReplyAndTheLinkStays) {
  serve();
  LinkClient client;
  ASSERT_TRUE(client.connect(server_->linkPort()));
  Writer w;
  w.u32(0x4242);
  w.u32(7);
  ASSERT_TRUE(client.sendRaw(frame(w.take())));
  auto payload = client.receive();
  ASSERT_TRUE(payload);
  Reader r(*payload);
  uint32_t hresult = 0;
  EXPECT_EQ(decodeReplyHead(r, hresult), ReplyStatus::RapiError);
  EXPECT_EQ(hresult, kHrNotImplemented);
  EXPECT_NE(createFile(client, u"\\Temp\\after.txt", 0xC0000000, 1), 0xFFFFFFFFu);
  EXPECT_EQ(recordsOf("unknown").size(), 1u);
}

TEST_F(ServerTest, GarbageCostsThePeerItsLinkAndTheNextPeerIsServed) {
  serve();
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  Writer shortArgs;
  shortArgs.u32(uint32_t(Command::CreateFile));
  shortArgs.u32(0x80000000u);
  std::vector<Case> cases = {
      {"length above the limit", {0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3}},
      {"arguments cut short", frame(shortArgs.take())},
  };
  for (const Case& c : cases) {
    LinkClient bad;
    ASSERT_TRUE(bad.connect(server_->linkPort())) << c.what;
    ASSERT_TRUE(bad.sendRaw(c.bytes)) << c.what;
    EXPECT_TRUE(bad.closedByPeer()) << c.what;
  }
  LinkClient good;
  ASSERT_TRUE(good.connect(server_->linkPort()));
  EXPECT_NE(createFile(good, u"\\Temp\\ok.txt", 0xC0000000, 1), 0xFFFFFFFFu);
  EXPECT_EQ(recordsOf("malformed").size(), 2u);
}

TEST_F(ServerTest, APeerThatVanishesReleasesItsHandles) {
  serve();
  {
    LinkClient first;
    ASSERT_TRUE(first.connect(server_->linkPort()));
    ASSERT_NE(createFile(first, u"\\Windows\\held.dll", 0xC0000000, 1), 0xFFFFFFFFu);
    RegCreateKeyRequest key;
    key.key = 0x80000002u;
    key.subKey = u"Software\\Held";
    ASSERT_TRUE(first.call(key));
    EXPECT_EQ(device_->openHandleCount(), 2u);
  }
  ASSERT_TRUE(waitForRecords("disconnect", 1));
  EXPECT_EQ(device_->openHandleCount(), 0u);
  auto disconnects = recordsOf("disconnect");
  ASSERT_EQ(disconnects.size(), 1u);
  EXPECT_EQ(field(disconnects[0], "handlesReleased"), "2");
  // The file it held shares no longer: a writer may open it.
  LinkClient second;
  ASSERT_TRUE(second.connect(server_->linkPort()));
  EXPECT_NE(createFile(second, u"\\Windows\\held.dll", 0x40000000, 2), 0xFFFFFFFFu);
}

TEST_F(ServerTest, APeerThatStopsHalfwayThroughARequestIsDropped) {
  ServerOptions options;
  options.partialRequestTimeout = std::chrono::milliseconds(200);
  serve(options);
  LinkClient client;
  ASSERT_TRUE(client.connect(server_->linkPort()));
  ASSERT_TRUE(client.sendRaw({40, 0, 0, 0, 5, 0}));
  EXPECT_TRUE(client.closedByPeer());
  ASSERT_TRUE(waitForRecords("disconnect", 1));
  EXPECT_EQ(field(recordsOf("disconnect").at(0), "reason"), "a request stopped arriving halfway");
}

TEST_F(ServerTest, InjectedFailureHitsExactlyTheNthCall) {
  serve();
  std::string error;
  ASSERT_TRUE(faults_.add("fail:WriteFile:2:112", error)) << error;
  LinkClient client;
  ASSERT_TRUE(client.connect(server_->linkPort()));
  uint32_t handle = createFile(client, u"\\Temp\\f.bin", 0xC0000000, 1);
  auto first = write(client, handle, "aaaa");
  auto second = write(client, handle, "bbbb");
  auto third = write(client, handle, "cccc");
  EXPECT_EQ(first.result, 1u);
  EXPECT_EQ(second.result, 0u);
  EXPECT_EQ(second.lastError, 112u);
  EXPECT_EQ(third.result, 1u);
  client.call(CloseHandleRequest{handle});
  // The failed call never ran: its bytes are not in the file.
  EXPECT_EQ(readFile(image::fsRoot(imageDir_) / "Temp" / "f.bin"), "aaaacccc");
  auto writes = recordsOf("CeWriteFile");
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(field(writes[1], "injectedFault"), "true");
}

TEST_F(ServerTest, InjectedLinkDropsEndTheConnectionBeforeTheCallRuns) {
  serve();
  std::string error;
  ASSERT_TRUE(faults_.add("drop:CeWriteFile:2", error)) << error;
  LinkClient client;
  ASSERT_TRUE(client.connect(server_->linkPort()));
  uint32_t handle = createFile(client, u"\\Temp\\d.bin", 0xC0000000, 1);
  EXPECT_EQ(write(client, handle, "1234").written, 4u);
  WriteFileRequest second;
  second.handle = handle;
  second.data = {'5'};
  EXPECT_FALSE(client.call(second));
  ASSERT_TRUE(waitForRecords("disconnect", 1));
  EXPECT_EQ(readFile(image::fsRoot(imageDir_) / "Temp" / "d.bin"), "1234");

  // A drop after a number of bytes cuts a request in the middle: it never runs.
  ASSERT_TRUE(faults_.add("drop-after-bytes:10", error)) << error;
  LinkClient next;
  ASSERT_TRUE(next.connect(server_->linkPort()));
  CreateFileRequest create;
  create.path = u"\\Temp\\never.txt";
  create.access = 0xC0000000;
  create.disposition = 1;
  EXPECT_FALSE(next.call(create));
  ASSERT_TRUE(waitForRecords("disconnect", 2));
  EXPECT_FALSE(fs::exists(image::fsRoot(imageDir_) / "Temp" / "never.txt"));
}

TEST_F(ServerTest, UnpluggedDeviceRefusesLinksUntilPluggedInAgainOnTheSamePort) {
  serve();
  uint16_t port = server_->linkPort();
  LinkClient attached;
  ASSERT_TRUE(attached.connect(port));
  ASSERT_NE(createFile(attached, u"\\Temp\\x", 0xC0000000, 1), 0xFFFFFFFFu);
  server_->unplug();
  EXPECT_FALSE(server_->plugged());
  EXPECT_TRUE(attached.closedByPeer());
  LinkClient refused;
  EXPECT_FALSE(refused.connect(port));
  EXPECT_EQ(server_->console("plug").rfind("ok", 0), 0u);
  LinkClient again;
  ASSERT_TRUE(again.connect(port));
  EXPECT_NE(createFile(again, u"\\Temp\\y", 0xC0000000, 1), 0xFFFFFFFFu);
}

// A held call runs once released; a reply held back by a slow device, or a
// held call, is let go by an unplug at once, not after its time.
TEST_F(ServerTest, HeldCallsAndRepliesWaitForAReleaseOrAnUnplug) {
  serve();
  CreateFileRequest create;
  create.path = u"\\Temp\\held.txt";
  create.access = 0xC0000000;
  create.disposition = 1;

  LinkClient client;
  ASSERT_TRUE(client.connect(server_->linkPort()));
  ASSERT_EQ(server_->console("fault hold:CeCreateFile:1").rfind("ok", 0), 0u);
  ASSERT_TRUE(client.sendRaw(frame(encodeRequest(create))));
  ASSERT_TRUE(waitForRecords("hold"));
  EXPECT_FALSE(client.receive(200)) << "answered while held";
  EXPECT_TRUE(recordsOf("CeCreateFile").empty()) << "run while held";
  EXPECT_EQ(server_->console("release"), "ok released");
  auto reply = client.receive();
  ASSERT_TRUE(reply);
  ResultReply created;
  uint32_t hresult = 0;
  ASSERT_EQ(decodeReply(*reply, created, hresult), ReplyStatus::Ok);
  EXPECT_NE(created.result, 0xFFFFFFFFu);
  EXPECT_EQ(recordsOf("CeCreateFile").size(), 1u);

  ASSERT_EQ(server_->console("fault hold:CeCreateFile:1").rfind("ok", 0), 0u);
  create.path = u"\\Temp\\never.txt";
  ASSERT_TRUE(client.sendRaw(frame(encodeRequest(create))));
  ASSERT_TRUE(waitForRecords("hold", 2));
  server_->unplug();
  EXPECT_TRUE(client.closedByPeer());
  waitForRecords("disconnect", 1);
  ASSERT_EQ(recordsOf("disconnect").size(), 1u) << "the held call keeps its connection after an unplug";
  EXPECT_EQ(field(recordsOf("disconnect")[0], "reason"), "the device was unplugged");
  EXPECT_FALSE(fs::exists(image::fsRoot(imageDir_) / "Temp" / "never.txt")) << "a held call dropped never runs";

  std::string error;
  ASSERT_TRUE(server_->plug(error)) << error;
  LinkClient slow;
  ASSERT_TRUE(slow.connect(server_->linkPort()));
  ASSERT_EQ(server_->console("delay 600000").rfind("ok", 0), 0u);
  create.path = u"\\Temp\\slow.txt";
  ASSERT_TRUE(slow.sendRaw(frame(encodeRequest(create))));
  waitForRecords("CeCreateFile", 2);
  ASSERT_EQ(recordsOf("CeCreateFile").size(), 2u) << "the call ran; its answer is held back";
  server_->unplug();
  EXPECT_TRUE(slow.closedByPeer());
  waitForRecords("disconnect", 2);
  ASSERT_EQ(recordsOf("disconnect").size(), 2u) << "the connection still waits out its ten minutes";
  EXPECT_EQ(field(recordsOf("disconnect")[1], "reason"), "the device was unplugged");
}

TEST_F(ServerTest, ControlCommandsAnswerInOneLine) {
  serve();
  EXPECT_EQ(server_->console("fault fail:CeDeleteFile:1"), "ok faults=\"fail:CeDeleteFile:1\"");
  EXPECT_EQ(server_->console("fault fail:NoSuchCall:1").rfind("error", 0), 0u);
  EXPECT_EQ(server_->console("link serial"), "ok link=\"serial 115200 baud (11520 bytes/s)\"");
  EXPECT_EQ(server_->console("delay 5"), "ok replyDelayMs=5");
  EXPECT_EQ(server_->console("delay soon").rfind("error", 0), 0u);
  EXPECT_EQ(server_->console("clear-faults"), "ok");
  EXPECT_NE(server_->console("status").find("faults=\"none\""), std::string::npos);
  EXPECT_EQ(server_->console("dance").rfind("error unknown command", 0), 0u);
}

TEST_F(ServerTest, ConnectionsBeyondTheLimitAreRefused) {
  ServerOptions options;
  options.maxConnections = 2;
  serve(options);
  LinkClient a, b, c;
  ASSERT_TRUE(a.connect(server_->linkPort()));
  ASSERT_TRUE(b.connect(server_->linkPort()));
  ASSERT_NE(createFile(a, u"\\Temp\\a", 0xC0000000, 1), 0xFFFFFFFFu);
  ASSERT_NE(createFile(b, u"\\Temp\\b", 0xC0000000, 1), 0xFFFFFFFFu);
  ASSERT_TRUE(c.connect(server_->linkPort()));
  EXPECT_TRUE(c.closedByPeer());
  EXPECT_EQ(recordsOf("refused").size(), 1u);
}

} // namespace
} // namespace pspc::testing

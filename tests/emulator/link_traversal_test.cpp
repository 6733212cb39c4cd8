// Hostile paths as they arrive on the link: every path-taking call, encoded
// as the desktop encodes it and run by a session's dispatcher, against a
// device image with links planted in it. What counts is the host: a sentinel
// folder beside the image keeps its contents and times, nothing appears
// outside the image's file system, and nothing is made inside it either.
#include "device_fixture.h"
#include "dispatch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <map>

namespace pspc::testing {
namespace {

using namespace rapiwire;

// One desktop session on the device, through the wire codec and dispatcher.
class LinkSession {
public:
  explicit LinkSession(Device& device) : device_(device), session_(device.openSession()), dispatcher_(device, session_) {}
  ~LinkSession() { device_.closeSession(session_); }

  template <typename R> std::vector<uint8_t> call(const R& request) {
    Request decoded;
    uint32_t code = 0;
    EXPECT_EQ(decodeRequest(encodeRequest(request), decoded, code), DecodeStatus::Ok);
    JsonObject log;
    return dispatcher_.run(decoded, log);
  }
  // The call's result word (a BOOL, a handle) and its last error.
  ResultReply result(const std::vector<uint8_t>& reply) {
    ResultReply body;
    uint32_t hresult = 0;
    EXPECT_EQ(decodeReply(reply, body, hresult), ReplyStatus::Ok);
    return body;
  }

  ResultReply createFile(const std::u16string& path, uint32_t disposition) {
    CreateFileRequest r;
    r.path = path;
    r.access = GENERIC_READ | GENERIC_WRITE;
    r.share = FILE_SHARE_READ;
    r.disposition = disposition;
    r.flagsAndAttributes = FILE_ATTRIBUTE_NORMAL;
    ResultReply reply = result(call(r));
    if (reply.result != INVALID_HANDLE_VALUE) result(call(CloseHandleRequest{reply.result}));
    return reply;
  }
  ResultReply deleteFile(const std::u16string& path) { return result(call(DeleteFileRequest{path})); }
  ResultReply moveFile(const std::u16string& from, const std::u16string& to) {
    return result(call(MoveFileRequest{from, to}));
  }
  ResultReply createDirectory(const std::u16string& path) { return result(call(CreateDirectoryRequest{path})); }
  size_t findAllFiles(const std::u16string& pattern) {
    FindAllFilesRequest r;
    r.pattern = pattern;
    r.flags = kFafName | kFafAttributes;
    FindAllFilesReply body;
    body.flags = r.flags;
    uint32_t hresult = 0;
    EXPECT_EQ(decodeReply(call(r), body, hresult), ReplyStatus::Ok);
    return body.entries.size();
  }
  uint32_t createProcess(const std::u16string& application) {
    CreateProcessRequest r;
    r.application = application;
    r.commandLine = u"";
    CreateProcessReply body;
    uint32_t hresult = 0;
    EXPECT_EQ(decodeReply(call(r), body, hresult), ReplyStatus::Ok);
    return body.result;
  }

private:
  Device& device_;
  SessionId session_;
  Dispatcher dispatcher_;
};

// `before`, a NUL unit, then `after`: one name as it travels on the link.
std::u16string withNul(std::u16string_view before, std::u16string_view after) {
  std::u16string text(before);
  text += char16_t(0);
  text += after;
  return text;
}

// Every entry under a folder with what identifies its state: type, size,
// content for files, modification time and link target.
std::map<std::string, std::string> snapshot(const fs::path& folder) {
  std::map<std::string, std::string> entries;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
    struct stat info {};
    EXPECT_EQ(::lstat(it->path().c_str(), &info), 0) << it->path();
    std::string state = std::to_string(info.st_mode) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
                        std::to_string(info.st_mtim.tv_nsec);
    if (S_ISLNK(info.st_mode)) state += " -> " + fs::read_symlink(it->path()).string();
    else if (S_ISREG(info.st_mode)) state += " " + readFile(it->path());
    entries[it->path().string()] = state;
  }
  return entries;
}

class LinkTraversal : public DeviceTest {
protected:
  void SetUp() override {
    DeviceTest::SetUp();
    // Beside the image: a sentinel folder, and names one and two levels
    // above the image's file system that a `..` would reach.
    sentinel_ = scratch_ / "sentinel";
    fs::create_directories(sentinel_ / "inner");
    writeHostFile(sentinel_ / "secret.txt", "secret");
    writeHostFile(sentinel_ / "inner" / "deeper.txt", "deeper");
    // Links planted in the image, to the sentinel and to the image's own registry.
    fs::create_directory_symlink(sentinel_, hostPath("Temp/dirlink"));
    fs::create_symlink(sentinel_ / "secret.txt", hostPath("Temp/filelink"));
    fs::create_symlink(imageDir_ / "registry.dat", hostPath("Windows/registry.lnk"));
    fs::create_directory_symlink("/", hostPath("Root"));
    hostEscape_ = "pspc-escape-" + std::to_string(::getpid());
    ASSERT_TRUE(putFile(u"\\Temp\\inside.txt", "inside"));
    // The image's bookkeeping files change as the device works; only its
    // file system and the folders beside it are held still.
    before_ = snapshot(scratch_);
    for (const char* own : {"registry.dat", "attributes.tsv", "oplog.jsonl"}) before_.erase((imageDir_ / own).string());
  }

  std::map<std::string, std::string> now() {
    auto after = snapshot(scratch_);
    for (const char* own : {"registry.dat", "attributes.tsv", "oplog.jsonl"}) after.erase((imageDir_ / own).string());
    return after;
  }

  std::vector<std::u16string> hostilePaths() const {
    std::u16string escape(hostEscape_.begin(), hostEscape_.end());
    std::u16string deepPath = u"\\Temp";
    while (deepPath.size() < 300) deepPath += u"\\d";
    return {
        // Parent steps, relative and absolute, reaching the sentinel, the
        // image's own files and the host's temporary folder.
        u"..\\sentinel\\secret.txt",
        u"\\..\\registry.dat",
        u"\\..\\..\\sentinel\\secret.txt",
        u"\\..\\..\\sentinel\\new.txt",
        u"\\Temp\\..\\..\\..\\sentinel\\secret.txt",
        u"\\Temp\\..\\Windows\\MakeZlkData.exe",
        u"\\..\\..\\..\\" + escape,
        u"\\Temp\\..",
        u"\\Temp\\.",
        // Drive letters and other roots.
        u"C:\\" + escape,
        u"\\C:\\" + escape,
        u"c:" + escape,
        u"\\\\localhost\\share\\" + escape,
        // Forward slashes.
        u"/tmp/" + escape,
        u"\\Temp/../../../sentinel/secret.txt",
        u"\\Temp\\/" + escape,
        // Over-long names and paths.
        u"\\" + std::u16string(300, u'a'),
        u"\\Temp\\" + std::u16string(300, u'b') + u".txt",
        deepPath,
        // Reserved device names.
        u"\\CON",
        u"\\Temp\\nul.txt",
        u"\\Temp\\COM1",
        u"\\Temp\\lpt1.dat",
        u"\\Temp\\AUX ",
        u"\\prn",
        // Through the planted links.
        u"\\Temp\\dirlink\\secret.txt",
        u"\\Temp\\dirlink\\new.txt",
        u"\\Temp\\dirlink\\inner\\deeper.txt",
        u"\\Temp\\dirlink",
        u"\\Temp\\filelink",
        u"\\Windows\\registry.lnk",
        u"\\Root\\tmp\\" + escape,
    };
  }

  fs::path sentinel_;
  std::string hostEscape_;
  std::map<std::string, std::string> before_;
};

TEST_F(LinkTraversal, NoPathTakingCallReachesOutsideTheImage) {
  LinkSession link(*device_);
  for (const std::u16string& path : hostilePaths()) {
    const std::string shown = toUtf8Lossy(path);
    for (uint32_t disposition : {CREATE_NEW, CREATE_ALWAYS, OPEN_EXISTING, OPEN_ALWAYS, TRUNCATE_EXISTING})
      EXPECT_EQ(link.createFile(path, disposition).result, INVALID_HANDLE_VALUE) << shown << " " << disposition;
    EXPECT_EQ(link.deleteFile(path).result, 0u) << shown;
    EXPECT_EQ(link.moveFile(path, u"\\Temp\\taken.txt").result, 0u) << shown;
    EXPECT_EQ(link.moveFile(u"\\Temp\\inside.txt", path).result, 0u) << shown;
    EXPECT_EQ(link.createDirectory(path).result, 0u) << shown;
    EXPECT_EQ(link.findAllFiles(path), 0u) << shown;
    EXPECT_EQ(link.findAllFiles(path + u"\\*"), 0u) << shown;
    EXPECT_EQ(link.createProcess(path), 0u) << shown;
  }

  EXPECT_EQ(now(), before_);
  const fs::path hostTemp = fs::temp_directory_path();
  EXPECT_FALSE(fs::exists(fs::symlink_status(hostTemp / hostEscape_))) << "made on the host: " << hostEscape_;
  EXPECT_FALSE(fs::exists(fs::symlink_status(fs::path("/") / hostEscape_)));
  EXPECT_EQ(getFile(u"\\Temp\\inside.txt"), "inside");
}

TEST_F(LinkTraversal, ANulEndsTheNameWhereTheDesktopMeantItToEnd) {
  // A NUL unit ends a device name, as it ends the caller's string: what
  // follows never reaches the file system, so the call works on the name
  // before it, inside the image.
  LinkSession link(*device_);
  const std::u16string cut = withNul(u"\\Temp\\kept.txt", u"\\..\\..\\..\\sentinel\\secret.txt");
  EXPECT_NE(link.createFile(cut, CREATE_NEW).result, INVALID_HANDLE_VALUE);
  EXPECT_EQ(link.moveFile(cut, withNul(u"\\Temp\\moved.txt", u"\\..\\..\\x")).result, 1u);
  EXPECT_EQ(link.deleteFile(withNul(u"\\Temp\\moved.txt", u"\\..\\..\\sentinel\\secret.txt")).result, 1u);

  EXPECT_EQ(now(), [&] {
    auto expected = before_;
    // The new file came and went; only the \Temp folder's time moved.
    expected[hostPath("Temp").string()] = snapshot(scratch_)[hostPath("Temp").string()];
    return expected;
  }());
  EXPECT_EQ(readFile(sentinel_ / "secret.txt"), "secret");
}

} // namespace
} // namespace pspc::testing

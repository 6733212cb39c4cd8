// Writes the requests fuzzer's seed corpus: one input per call, each the request
// as the desktop library encodes it, and a few whole sessions (an install's
// file copy, its registry work, folder and name work, the device tool, and
// sessions under injected faults). The seeds in tests/fuzz/requests-corpus are this
// program's output:
//
//   build/native/bin/requests-fuzz-corpus tests/fuzz/requests-corpus
#include "fuzz_input.h"
#include "fuzz_kit.h"
#include "rapi_commands.h"

#include <string>
#include <utility>
#include <vector>

namespace {

using namespace rapiwire;

// A fresh device hands out handles from this value on, four apart; the
// sessions below name the handles they were given that way.
constexpr uint32_t kFirstHandle = 0x1004;
constexpr uint32_t kHkeyLocalMachine = 0x80000002u;
constexpr uint32_t kHkeyClassesRoot = 0x80000000u;
constexpr uint32_t kGenericRead = 0x80000000u, kGenericWrite = 0x40000000u;
constexpr uint32_t kCreateNew = 1, kCreateAlways = 2, kOpenExisting = 3;
constexpr uint32_t kRegSz = 1, kRegDword = 4;

class Session {
public:
  explicit Session(const pspc::fuzz::FaultChoice& faults = {}) : bytes_(pspc::fuzz::header(faults)) {}
  template <typename R> Session& add(const R& request) {
    const std::vector<uint8_t> packet = frame(encodeRequest(request));
    bytes_.insert(bytes_.end(), packet.begin(), packet.end());
    return *this;
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
  std::vector<uint8_t> bytes_;
};

std::vector<uint8_t> utf16(const std::u16string& text, bool terminated) {
  std::vector<uint8_t> out;
  for (char16_t unit : text) {
    out.push_back(uint8_t(unit));
    out.push_back(uint8_t(unit >> 8));
  }
  if (terminated) out.insert(out.end(), {0, 0});
  return out;
}

CreateFileRequest createFile(const std::u16string& path, uint32_t access, uint32_t disposition) {
  CreateFileRequest r;
  r.path = path;
  r.access = access;
  r.share = 1;
  r.disposition = disposition;
  r.flagsAndAttributes = 0x80;
  return r;
}

WriteFileRequest writeFile(uint32_t handle, const std::string& content) {
  WriteFileRequest r;
  r.handle = handle;
  r.data.assign(content.begin(), content.end());
  return r;
}

ReadFileRequest readFile(uint32_t handle, uint32_t count) {
  ReadFileRequest r;
  r.handle = handle;
  r.count = count;
  return r;
}

FindAllFilesRequest findAll(const std::u16string& pattern) {
  FindAllFilesRequest r;
  r.pattern = pattern;
  r.flags = kFafAttributes | kFafLastWriteTime | kFafSizeHigh | kFafSizeLow | kFafName;
  return r;
}

RegSetValueRequest setValue(uint32_t key, const std::u16string& name, uint32_t type, std::vector<uint8_t> data) {
  RegSetValueRequest r;
  r.key = key;
  r.valueName = name;
  r.type = type;
  r.byteCount = uint32_t(data.size());
  r.data = std::move(data);
  return r;
}

RegQueryValueRequest queryValue(uint32_t key, const std::u16string& name, uint32_t capacity) {
  RegQueryValueRequest r;
  r.key = key;
  r.valueName = name;
  r.dataCapacity = capacity;
  return r;
}

template <typename R> Session single(const R& request) { return Session().add(request); }

} // namespace

int main(int argc, char** argv) {

  std::vector<std::pair<std::string, Session>> seeds;
  const uint32_t h = kFirstHandle;

  // ---- one request of each call
  seeds.emplace_back("call-CeCreateFile", single(createFile(u"\\Windows\\msvcrt.dll", kGenericWrite, kCreateAlways)));
  seeds.emplace_back("call-CeReadFile", single(readFile(h, 4096)));
  seeds.emplace_back("call-CeWriteFile", single(writeFile(h, "MZ\x90")));
  seeds.emplace_back("call-CeCloseHandle", single(CloseHandleRequest{h}));
  seeds.emplace_back("call-CeFindAllFiles", single(findAll(u"\\Windows\\*.*")));
  CreateDirectoryRequest mkdir;
  mkdir.path = u"\\Program Files";
  seeds.emplace_back("call-CeCreateDirectory", single(mkdir));
  CreateProcessRequest process;
  process.application = u"\\Windows\\MakeZlkData.exe";
  process.commandLine = u"";
  seeds.emplace_back("call-CeCreateProcess", single(process));
  MoveFileRequest move;
  move.from = u"\\Windows\\MakeZlkData.exe";
  move.to = u"\\Temp\\MakeZlkData.exe";
  seeds.emplace_back("call-CeMoveFile", single(move));
  DeleteFileRequest remove;
  remove.path = u"\\Windows\\MakeZlkData.exe";
  seeds.emplace_back("call-CeDeleteFile", single(remove));
  GetFileSizeRequest size;
  size.handle = h;
  size.wantHigh = true;
  seeds.emplace_back("call-CeGetFileSize", single(size));
  RegOpenKeyRequest open;
  open.key = kHkeyLocalMachine;
  open.subKey = u"Software";
  seeds.emplace_back("call-CeRegOpenKeyEx", single(open));
  RegCreateKeyRequest create;
  create.key = kHkeyClassesRoot;
  create.subKey = u"VBScript.RegExp\\CLSID";
  create.className = u"";
  seeds.emplace_back("call-CeRegCreateKeyEx", single(create));
  seeds.emplace_back("call-CeRegCloseKey", single(RegCloseKeyRequest{h}));
  seeds.emplace_back("call-CeRegQueryValueEx", single(queryValue(kHkeyLocalMachine, u"Version", 64)));
  seeds.emplace_back("call-CeRegSetValueEx", single(setValue(kHkeyLocalMachine, u"Flags", kRegDword, {1, 0, 0, 0})));
  seeds.emplace_back("call-CeGetStoreInformation", single(GetStoreInformationRequest{}));

  // ---- whole sessions
  // A package file copied through \Temp and moved into place, then read back.
  Session copy;
  copy.add(GetStoreInformationRequest{})
      .add(createFile(u"\\Temp\\mfcce.dll", kGenericWrite, kCreateAlways))
      .add(writeFile(h, std::string(64, 'a')))
      .add(writeFile(h, std::string(64, 'b')))
      .add(CloseHandleRequest{h})
      .add(MoveFileRequest{u"\\Temp\\mfcce.dll", u"\\Windows\\mfcce.dll"})
      .add(createFile(u"\\Windows\\mfcce.dll", kGenericRead, kOpenExisting))
      .add(GetFileSizeRequest{h + 4, true})
      .add(readFile(h + 4, 100))
      .add(readFile(h + 4, 100))
      .add(CloseHandleRequest{h + 4});
  seeds.emplace_back("session-file-copy", copy);

  // The runtime's registration: a key, its values, read back and closed.
  Session registry;
  registry.add(create)
      .add(setValue(h, u"", kRegSz, utf16(u"{3F4DACA4-160D-11D2-A8E9-00104B365C9F}", true)))
      .add(setValue(h, u"InprocServer32", kRegSz, utf16(u"\\Windows\\vbscript.dll", true)))
      .add(setValue(h, u"Empty", kRegSz, {0, 0}))
      .add(setValue(h, u"Odd", 3, {1, 2, 3}))
      .add(queryValue(h, u"", 256))
      .add(queryValue(h, u"InprocServer32", 4))
      .add(RegCloseKeyRequest{h})
      .add(open);
  seeds.emplace_back("session-registry", registry);

  // Folders and names: make, list, rename, delete.
  Session names;
  names.add(mkdir)
      .add(CreateDirectoryRequest{u"\\Program Files\\Sub"})
      .add(createFile(u"\\Program Files\\Sub\\Read Me.txt", kGenericWrite, kCreateNew))
      .add(writeFile(h, "hello"))
      .add(CloseHandleRequest{h})
      .add(findAll(u"\\Program Files\\*"))
      .add(findAll(u"\\Program Files\\Sub\\*.txt"))
      .add(MoveFileRequest{u"\\Program Files\\Sub\\Read Me.txt", u"\\Program Files\\README.TXT"})
      .add(MoveFileRequest{u"\\Program Files\\Sub", u"\\Program Files\\Moved"})
      .add(DeleteFileRequest{u"\\Program Files\\README.TXT"})
      .add(findAll(u"\\*"));
  seeds.emplace_back("session-names", names);

  // Long names and attributes: a hidden, read-only file in a folder that is
  // then moved under a long name, so the file's path outgrows MAX_PATH.
  Session longNames;
  CreateFileRequest hidden = createFile(u"\\Long\\" + std::u16string(120, u'f'), kGenericWrite, kCreateNew);
  hidden.flagsAndAttributes = 0x01 | 0x02; // read-only, hidden
  longNames.add(CreateDirectoryRequest{u"\\Long"})
      .add(hidden)
      .add(writeFile(h, "x"))
      .add(CloseHandleRequest{h})
      .add(MoveFileRequest{u"\\Long", u"\\" + std::u16string(200, u'L')})
      .add(findAll(u"\\" + std::u16string(200, u'L') + u"\\*"))
      .add(MoveFileRequest{u"\\" + std::u16string(200, u'L'), u"\\Long"})
      .add(findAll(u"\\Long\\*"));
  seeds.emplace_back("session-long-names", longNames);

  // The device tool: started, then its data file read.
  Session tool;
  tool.add(process)
      .add(CloseHandleRequest{h})
      .add(CloseHandleRequest{h + 4})
      .add(createFile(u"\\Windows\\zlkAssetData.dat", kGenericRead, kOpenExisting))
      .add(readFile(h + 8, 2600))
      .add(CloseHandleRequest{h + 8});
  seeds.emplace_back("session-device-tool", tool);

  // The copy again, with the second write failing as on a full store.
  pspc::fuzz::FaultChoice failedWrite;
  failedWrite.kind = pspc::fuzz::FaultKind::FailNth;
  failedWrite.call = 2; // CeWriteFile
  failedWrite.nth = 2;
  failedWrite.diskFull = true;
  Session full(failedWrite);
  full.add(createFile(u"\\Temp\\mfcce.dll", kGenericWrite, kCreateAlways))
      .add(writeFile(h, std::string(64, 'a')))
      .add(writeFile(h, std::string(64, 'b')))
      .add(CloseHandleRequest{h});
  seeds.emplace_back("session-fault-store-full", full);

  // The registration with the link dropping when the second value arrives,
  // and once more cut after a number of bytes.
  pspc::fuzz::FaultChoice dropped;
  dropped.kind = pspc::fuzz::FaultKind::DropAtNth;
  dropped.call = 14; // CeRegSetValueEx
  dropped.nth = 2;
  Session drop(dropped);
  Session cut(pspc::fuzz::FaultChoice{pspc::fuzz::FaultKind::None, 0, 1, false, 123});
  for (Session* s : {&drop, &cut})
    s->add(create)
        .add(setValue(h, u"", kRegSz, utf16(u"VBScript", true)))
        .add(setValue(h, u"Flags", kRegDword, {1, 0, 0, 0}))
        .add(RegCloseKeyRequest{h});
  seeds.emplace_back("session-fault-drop-at-call", drop);
  seeds.emplace_back("session-fault-drop-after-bytes", cut);
  return fuzzkit::writeSeeds(argc, argv, "requests-fuzz-corpus", seeds);
}

// Package folders that no one meant to give the program: ten thousand files,
// names at the limits of the file system, names the desktop's code page
// cannot write, folders among the files, a file another program holds open,
// files of more than 4 GiB. The program neither crashes nor overruns a buffer:
// it shows the sizes by its rules, copies what it can, and tells the user
// how many files it could not copy.
#include "fault_scenario.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iostream>

namespace e2e::install {
namespace {

// A desktop file held open with no sharing by another Windows program
// (hold_file.exe, in the same Wine prefix as the setup program), from the
// constructor until the destructor lets it go.
class HeldDesktopFile {
public:
  HeldDesktopFile(const fs::path& workingFolder, const std::string& windowsPath, const fs::path& logFile) {
    const fs::path program = Binaries::win64Bin() / "hold_file.exe";
    if (!fs::exists(program))
      throw std::runtime_error(program.string() + " is missing: build the win64 build (cmake --build --preset win64)");
    int input[2], output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
    const std::string runner = Binaries::runner().string(), programText = program.string();
    const std::string folder = workingFolder.string(), log = logFile.string();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("cannot start hold_file.exe");
    if (pid_ == 0) {
      // Only calls that are safe after fork in a program with threads.
      const int errors = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (::chdir(folder.c_str()) != 0 || errors < 0) ::_exit(127);
      ::dup2(input[0], 0);
      ::dup2(output[1], 1);
      ::dup2(errors, 2);
      const char* argv[] = {runner.c_str(), programText.c_str(), windowsPath.c_str(), nullptr};
      ::execv(runner.c_str(), const_cast<char* const*>(argv));
      ::_exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    release_ = input[1];
    const int said = output[0];
    // Wine may take a few seconds to start a program.
    std::string heard;
    bool ended = false;
    waitUntil([&] {
      pollfd p{said, POLLIN, 0};
      char buffer[64];
      const ssize_t n = ::poll(&p, 1, 0) > 0 ? ::read(said, buffer, sizeof buffer) : -1;
      if (n > 0) heard.append(buffer, size_t(n));
      ended = ended || (p.revents && n <= 0);
      return ended || heard.find("holding") != std::string::npos;
    });
    ::close(said);
    if (heard.find("holding") == std::string::npos) {
      end();
      std::ifstream said(logFile);
      const std::string why((std::istreambuf_iterator<char>(said)), std::istreambuf_iterator<char>());
      throw std::runtime_error("hold_file.exe did not hold " + windowsPath + ": " + why);
    }
  }

  ~HeldDesktopFile() { end(); }
  HeldDesktopFile(const HeldDesktopFile&) = delete;
  HeldDesktopFile& operator=(const HeldDesktopFile&) = delete;

private:
  // Closing its input lets the program go; it is ended if it does not.
  void end() {
    if (release_ >= 0) ::close(release_);
    release_ = -1;
    if (pid_ <= 0) return;
    const bool ended = waitUntil([&] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; });
    if (!ended) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }

  pid_t pid_ = -1;
  int release_ = -1;
};

// A file that holds no data but has `bytes` as its size.
void makeSparseFile(const fs::path& path, uint64_t bytes) {
  fs::create_directories(path.parent_path());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot make " + path.string());
  const bool sized = ::ftruncate(fd, off_t(bytes)) == 0;
  ::close(fd);
  if (!sized) throw std::runtime_error("the file system cannot hold a file of " + std::to_string(bytes) + " bytes");
}

class BadInput : public FaultScenario {
protected:
  unsigned shown(const WindowInfo& dialog, int id) { return shownNumber(ui(), dialog.hwnd, id); }
};

// ---------------------------------------------------------------- many files

TEST_F(BadInput, TenThousandFilesAreAllCopied) {
  constexpr int kFiles = 10000;
  startDevice();
  std::vector<PackageFile> files;
  for (int i = 0; i < kFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "Japanese/MFC/f%05d.dll", i);
    files.push_back({name, 0});
  }
  files.push_back({"Japanese/ADO/adoce.dll", 2000});
  makePackages(files);

  const auto started = std::chrono::steady_clock::now();
  const WindowInfo selection = acceptedSelection();
  const auto identified = std::chrono::steady_clock::now();
  EXPECT_EQ(shown(selection, IDC_MFC_SIZE), 1u) << "ten thousand empty files and ADO's 2000 bytes";
  confirm(selection, true, false);
  const WindowInfo transfer = transferDialog();
  const auto transferStarted = std::chrono::steady_clock::now();
  // A generous guard: a run that stops making progress shows up as a time-out.
  ui().waitGone(transfer.hwnd, 360s);
  const auto transferEnded = std::chrono::steady_clock::now();
  const MessageBoxInfo notice = ui().waitMessageBox();
  EXPECT_EQ(notice.caption, warningCaption()) << "no error message: every file was copied";
  ui().dismiss(notice.hwnd);
  EXPECT_EQ(ui().waitExit(), 0u);

  const auto seconds = [](auto from, auto to) { return std::chrono::duration<double>(to - from).count(); };
  std::cout << "10,000 files: identified and sized in " << seconds(started, identified) << " s, transferred in "
            << seconds(transferStarted, transferEnded) << " s\n";
  RecordProperty("sizingSeconds", std::to_string(seconds(started, identified)));
  RecordProperty("transferSeconds", std::to_string(seconds(transferStarted, transferEnded)));

  EXPECT_EQ(deviceFolder(u"\\Windows").size(), size_t(kFiles + 1 + 2))
      << "the files, adoce.dll, the device tool and its data file";
  EXPECT_EQ(opRecords("CeWriteFile").size(), size_t(kFiles + 2));
  EXPECT_TRUE(holdsExactly(deviceFile(u"\\Windows\\f09999.dll"), ""));
}

// ---------------------------------------------------------------- entries that cannot be copied

TEST_F(BadInput, EntriesThatCannotBeCopiedAreCountedInTheSizesAndTold) {
  startDevice();
  // Copied: a file, an empty file, ADO's file.
  const std::vector<PackageFile> copied = {
      {"Japanese/MFC/mfcce211.dll", 3000}, {"Japanese/MFC/empty.dll", 0}, {"Japanese/ADO/adoce.dll", 2000}};
  std::vector<PackageFile> files = copied;
  // Names of 250 to 255 bytes: found, sized, too long for the source path.
  std::vector<std::string> longNames;
  for (size_t length = 250; length <= 255; ++length) {
    longNames.push_back(std::string(length - 4, 'n') + ".dll");
    files.push_back({"Japanese/MFC/" + longNames.back(), 1000});
  }
  // Names with characters code page 932 cannot write. Wine shows a host
  // name's characters that a Windows name may not hold as characters of the
  // private use area, which the ANSI search gives as '?': no file of that
  // name can be opened.
  for (const char* name : {"what?.dll", "drive:colon.dll", "pipe|.dll"})
    files.push_back({std::string("Japanese/MFC/") + name, 700});
  // A read-only folder (attribute word 17) is summed with the size the
  // search gives it (0) and passed over by the copy, as a plain folder is:
  // neither is a failure.
  files.push_back({"Japanese/MFC/readonly/inner.dll", 4096});
  files.push_back({"Japanese/MFC/plain/inner.dll", 8192});
  // Held open by another program.
  files.push_back({"Japanese/MFC/locked.dll", 1500});
  // VB: sizes past 4 GiB wrap; VB is not chosen, so nothing reads them.
  files.push_back({"Japanese/VB/vbscript.dll", 2048});
  makePackages(files);
  ASSERT_EQ(::chmod((packageDir() / "Japanese/MFC/readonly").c_str(), 0555), 0);
  makeSparseFile(packageDir() / "Japanese/VB/huge.dll", (uint64_t(1) << 32) + 5000);
  makeSparseFile(packageDir() / "Japanese/VB/almost4g.dll", (uint64_t(1) << 32) - 1024);
  HeldDesktopFile held(packageDir(), "Japanese\\MFC\\locked.dll", scratch() / "hold_file.log");

  const WindowInfo selection = acceptedSelection();
  // Each package folder is summed in 32 bits, then cut to whole KB.
  const uint32_t adoKb = 2000 >> 10;
  const uint32_t mfcBytes = 3000 + 0 + 6 * 1000 + 3 * 700 + 0 + 1500;
  const uint32_t vbBytes = uint32_t(5000) + uint32_t((uint64_t(1) << 32) - 1024) + 2048; // wraps to 6024
  EXPECT_EQ(shown(selection, IDC_MFC_SIZE), adoKb + (mfcBytes >> 10));
  EXPECT_EQ(shown(selection, IDC_VB_SIZE), adoKb + (vbBytes >> 10));
  ui().click(selection.hwnd, IDC_VB_COMPONENT);
  EXPECT_TRUE(waitUntil([&] { return shown(selection, IDC_MEMORY_NEEDED) == adoKb + (vbBytes >> 10); }))
      << "the memory VB needs, wrapped as its size";
  ui().click(selection.hwnd, IDC_VB_COMPONENT);
  EXPECT_TRUE(waitUntil([&] { return shown(selection, IDC_MEMORY_NEEDED) == 0u; }));
  confirm(selection, true, false);
  const Ending ending = finish();

  // Six long names, three unwritable names, the held file.
  expectTold(ending, 6 + 3 + 1);
  for (const auto& file : copied)
    EXPECT_TRUE(holdsExactly(deviceFile(u"\\Windows\\" + widen(file.path.substr(file.path.rfind('/') + 1))),
                             packageFileContent(file.path, file.bytes)))
        << file.path;
  EXPECT_EQ(deviceFolder(u"\\Windows"),
            (std::vector<std::string>{"MakeZlkData.exe", "adoce.dll", "empty.dll", "mfcce211.dll", "zlkAssetData.dat"}))
      << "nothing else reached the device";
  EXPECT_EQ(valuesNotRegistered(true, false), 0);
  // Only the copied files were made on the device. (A name with ':' comes
  // back from code page 932 as ':' and opens on the desktop; the device
  // refuses such a name.)
  for (const auto& record : opRecords("CeCreateFile")) {
    const std::string path = text(record, "path");
    const bool copied = path == "\\Windows\\mfcce211.dll" || path == "\\Windows\\empty.dll" ||
                        path == "\\Windows\\adoce.dll" || path == "\\Windows\\zlkAssetData.dat";
    EXPECT_TRUE(copied || text(record, "result") == "4294967295") << path;
  }
}

} // namespace
} // namespace e2e::install

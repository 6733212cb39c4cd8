// setup-headless: runs the setup program from start to reset notice without a
// person, on a virtual X display, and saves a picture of every dialog state it
// passes. The main job uses it when there is no display to show the dialogs on.
//
//   setup-headless --run-folder DIR --display :N --image DIR --output DIR
//                  [--endpoint HOST:PORT] [--slow-copy]
//
// It starts setup.exe (in the run folder, beside rapi.dll) through uidriver,
// controls the emulator serving the device image given with --image,
// chooses both packages, confirms, and dismisses the messages at the end. With
// --slow-copy it slows the device's answers while the transfer dialog is
// pictured, so that the picture shows a file on its way.
#include "uidriver_client.h"

#include "control_client.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <functional>
#include <thread>

namespace fs = std::filesystem;
using namespace uidriver;

namespace {

constexpr int kOk = 1, kCancel = 2, kMfcBox = 1015, kVbBox = 1017, kSourcePath = 1009;

struct Options {
  fs::path runFolder, output, runner, uidriver, image;
  std::string display, endpoint;
  bool slowCopy = false;
};

[[noreturn]] void fail(const std::string& message) {
  std::cerr << "setup-headless: " << message << "\n";
  std::exit(1);
}

Options parse(int argc, char** argv) {
  Options options;
  std::map<std::string, std::string> values;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--slow-copy") {
      options.slowCopy = true;
    } else if (arg.rfind("--", 0) == 0 && i + 1 < argc) {
      values[arg] = argv[++i];
    } else {
      fail("unexpected argument " + arg);
    }
  }
  for (const char* required : {"--run-folder", "--display", "--image", "--output", "--runner", "--uidriver"})
    if (!values.count(required)) fail(std::string("missing ") + required);
  options.runFolder = values["--run-folder"];
  options.output = values["--output"];
  options.runner = values["--runner"];
  options.uidriver = values["--uidriver"];
  options.display = values["--display"];
  options.endpoint = values.count("--endpoint") ? values["--endpoint"] : "";
  options.image = values["--image"];
  return options;
}

class Run {
public:
  explicit Run(const Options& options) : options_(options) {}

  void control(const std::string& command) {
    std::string answer, error;
    if (!pspc::sendControl(options_.image, command, answer, error)) fail(error);
    if (answer.rfind("ok", 0) != 0) fail("the emulator refused '" + command + "': " + answer);
  }

  // A picture of the whole virtual screen, as a person would see it.
  void picture(const std::string& name, const std::string& what) {
    fs::path file = options_.output / (name + ".png");
    std::string command = "import -display " + options_.display + " -window root '" + file.string() + "'";
    if (std::system(command.c_str()) != 0) fail("could not take the picture " + file.string());
    std::cout << "  picture: " << file.string() << "  (" << what << ")" << std::endl;
  }

  bool waitUntil(const std::function<bool()>& holds, Milliseconds timeout = 30s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (holds()) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }

  int go() {
    fs::create_directories(options_.output);
    UiDriver::Launch launch;
    launch.runner = options_.runner;
    launch.driver = options_.uidriver;
    launch.program = options_.runFolder / "setup.exe";
    launch.workingFolder = options_.runFolder;
    launch.environment = {{"PSPC_WINE_GRAPHICS", "x11"}, {"DISPLAY", options_.display}};
    if (!options_.endpoint.empty()) launch.environment.push_back({"PSPC_RAPI_ENDPOINT", options_.endpoint});
    launch.logFile = options_.output / "uidriver.log";

    // Slow answers keep the dialog in its probing state long enough to be seen.
    control("delay 800");
    UiDriver driver(launch);
    WindowQuery dialog;
    dialog.className = "#32770";
    WindowInfo selection = driver.waitWindow(dialog, 60s);
    std::this_thread::sleep_for(600ms); // the window is drawn
    picture("1-selection-probing", "dialog 101 while the device is identified");
    control("delay 0");

    if (!waitUntil([&] { return driver.control(selection.hwnd, kCancel).enabled; }))
      fail("the device was not accepted: the selection dialog never became usable");
    picture("2-selection-ready", "dialog 101 with the package sizes and the free storage");
    driver.click(selection.hwnd, kVbBox);
    driver.click(selection.hwnd, kMfcBox);
    if (!waitUntil([&] { return driver.control(selection.hwnd, kOk).enabled; })) fail("OK never became usable");
    picture("3-selection-both-ticked", "dialog 101 with both packages ticked");

    if (options_.slowCopy) control("delay 40");
    driver.click(selection.hwnd, kOk);
    WindowInfo transfer;
    if (!waitUntil([&] {
          for (const WindowInfo& w : driver.windows())
            if (w.visible && w.className == "#32770" && w.hwnd != selection.hwnd) {
              transfer = w;
              return true;
            }
          return false;
        }))
      fail("the transfer dialog did not open (the selection may have been refused)");
    waitUntil([&] { return !driver.control(transfer.hwnd, kSourcePath).text.empty(); }, 60s);
    picture("4-transfer", "dialog 102 copying a file");
    if (options_.slowCopy) control("delay 0");

    // Any error message first (files or values that could not be installed), then the notice.
    for (;;) {
      MessageBoxInfo box = driver.waitMessageBox(600s);
      bool notice = box.captionUtf8 == "警告 ";
      picture(notice ? "5-reset-notice" : "5-transfer-error", "message box: " + box.captionUtf8 + " / " + box.textUtf8);
      driver.dismiss(box.hwnd);
      bool another = waitUntil([&] { return !driver.programRunning() || driver.request("msgbox").ok; }, 10s);
      if (!another || !driver.programRunning()) break;
    }
    uint32_t code = driver.waitExit(30s);
    std::cout << "  setup.exe ended with exit code " << code << std::endl;
    return code == 0 ? 0 : 1;
  }

private:
  const Options& options_;
};

} // namespace

int main(int argc, char** argv) {
  Options options = parse(argc, argv);
  try {
    return Run(options).go();
  } catch (const std::exception& e) {
    fail(e.what());
  }
}

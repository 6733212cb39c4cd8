// setup-headless: runs the setup program without a person, on a virtual X
// display, follows whatever it shows, and saves a picture of every dialog
// state and message it passes. The main job uses it when there is no display
// to show the dialogs on.
//
//   setup-headless --run-folder DIR --display :N --output DIR
//                  --runner FILE --uidriver FILE [--program FILE]
//                  [--image DIR] [--endpoint HOST:PORT]
//                  [--choose mfc|vb|both|none] [--device-version V]
//                  [--device-language L] [--summary FILE] [--slow-copy]
//
// It starts setup.exe (--program, beside its rapi.dll; default: the one in
// the run folder) through uidriver, in the run folder, which holds the
// packages. With --image it controls the emulator serving that device image,
// slowing its answers so that the pictures catch the probing (a real device
// answers at its own pace). It answers as a person would: every message box is pictured, its caption
// and text printed, and then pressed OK. A refused device ends the run with
// the program. In the selection it ticks the packages of --choose (default
// both) and presses OK, or Cancel for none; a choice the program refuses for
// want of storage is shown and then cancelled. At the end one line says what
// happened (--device-version and --device-language only lend it words); it
// goes to --summary, or to the standard output.
//
// Exit status 0: the program was followed to an end of its own choosing,
// whatever that was (installed, refused, cancelled, items not installed and
// told). 1: the run could not follow it, or it ended in a way it never should.
// 2: the arguments are wrong.
//
// With --slow-copy it slows the device's answers while the transfer dialog is
// pictured, so that the picture shows a file on its way.
#include "outcome.h"
#include "setup_driver.h"
#include "uidriver_client.h"

#include "console_client.h"

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace uidriver;
using namespace headless;
using namespace setupdriver;

namespace {

// How long a newly shown window is given to be drawn before its picture.
constexpr Milliseconds kDrawn = 500ms;
// Hang guards: the probe takes at most 10.5 s and a few calls; a transfer at
// the serial link's speed takes minutes.
constexpr Milliseconds kProbeGuard = 90s, kTransferGuard = 600s, kStepGuard = 30s;

struct Options {
  fs::path runFolder, program, output, runner, uidriver, image, summary;
  std::string display, endpoint, deviceVersion, deviceLanguage;
  Choice choice = Choice::Both;
  bool slowCopy = false;
};

[[noreturn]] void usageError(const std::string& message) {
  std::cerr << "setup-headless: " << message << "\n";
  std::exit(2);
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
      usageError("unexpected argument " + arg);
    }
  }
  for (const char* required : {"--run-folder", "--display", "--output", "--runner", "--uidriver"})
    if (!values.count(required)) usageError(std::string("missing ") + required);
  options.runFolder = values["--run-folder"];
  options.program = values.count("--program") ? fs::path(values["--program"]) : options.runFolder / "setup.exe";
  options.output = values["--output"];
  options.runner = values["--runner"];
  options.uidriver = values["--uidriver"];
  options.display = values["--display"];
  options.endpoint = values["--endpoint"];
  options.summary = values["--summary"];
  options.deviceVersion = values["--device-version"];
  options.deviceLanguage = values["--device-language"];
  options.image = values["--image"];
  if (options.slowCopy && options.image.empty()) usageError("--slow-copy slows an emulated device: it needs --image");
  if (values.count("--choose")) {
    auto choice = parseChoice(values["--choose"]);
    if (!choice) usageError("--choose takes mfc, vb, both or none, not " + values["--choose"]);
    options.choice = *choice;
  }
  return options;
}

// The run could not go on: why, in a person's words.
class RunFailure : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// What the program shows next, of what a step waits for.
struct Sight {
  enum class Kind { MessageBox, Ready, Ended } kind = Kind::Ended;
  MessageBoxInfo box;
};

class Run {
public:
  explicit Run(const Options& options) : options_(options) {}

  Outcome go() {
    fs::create_directories(options_.output);
    outcome_.choice = options_.choice;
    outcome_.deviceVersion = options_.deviceVersion;
    outcome_.deviceLanguage = options_.deviceLanguage;
    try {
      // Slow answers keep the dialog in its probing state long enough to be seen.
      control("delay 800");
      UiDriver driver(launch());
      driver_ = &driver;
      try {
        follow();
      } catch (const std::exception& e) {
        failed(e.what()); // while the program still shows what went wrong
      }
      driver_ = nullptr;
    } catch (const std::exception& e) {
      failed(e.what());
    }
    return outcome_;
  }

private:
  void failed(const std::string& why) {
    outcome_.kind = Outcome::Kind::Failed;
    outcome_.failure = why;
    // The screen helps more than any words; and a device kept attached
    // (--keep) must not stay slowed down.
    try {
      picture("failure", "the screen when the run failed");
    } catch (const std::exception&) {
    }
    try {
      control("delay 0");
    } catch (const std::exception&) {
    }
  }

  UiDriver::Launch launch() const {
    UiDriver::Launch launch;
    launch.runner = options_.runner;
    launch.driver = options_.uidriver;
    launch.program = options_.program;
    launch.workingFolder = options_.runFolder;
    launch.environment = {{"PSPC_WINE_GRAPHICS", "x11"}, {"DISPLAY", options_.display}};
    if (!options_.endpoint.empty()) launch.environment.push_back({"PSPC_RAPI_ENDPOINT", options_.endpoint});
    launch.logFile = options_.output / "uidriver.log";
    return launch;
  }

  UiDriver& ui() { return *driver_; }

  // Tells the emulator serving the image; a real device is not told.
  void control(const std::string& command) {
    if (options_.image.empty()) return;
    std::string answer, error;
    if (!pspc::sendToConsole(options_.image, command, answer, error)) throw RunFailure(error);
    if (answer.rfind("ok", 0) != 0) throw RunFailure("the emulator refused '" + command + "': " + answer);
  }

  // A picture of the whole virtual screen, as a person would see it.
  void picture(const std::string& name, const std::string& what) {
    fs::path file = options_.output / (name + ".png");
    std::string command = "import -display " + options_.display + " -window root '" + file.string() + "'";
    if (std::system(command.c_str()) != 0) throw RunFailure("could not take the picture " + file.string());
    std::cout << "  picture: " << file.string() << "  (" << what << ")" << std::endl;
  }

  static void say(const std::string& line) { std::cout << "  " << line << std::endl; }

  // Whatever comes first: a message box, `ready` (when given), or the
  // program's end. Nothing within `guard` fails the run.
  Sight next(const std::string& awaited, Milliseconds guard, const std::function<bool()>& ready = {}) {
    Sight sight;
    if (!pollUntil(
            [&] {
              // Had the program ended before these looks, nothing new can appear.
              const bool ended = !ui().programRunning();
              if (auto box = shownMessageBox(ui())) {
                sight.kind = Sight::Kind::MessageBox;
                sight.box = *box;
                return true;
              }
              if (!ended && ready && ready()) {
                sight.kind = Sight::Kind::Ready;
                return true;
              }
              if (!ended) return false;
              sight.kind = Sight::Kind::Ended;
              return true;
            },
            guard))
      throw RunFailure("nothing happened within " + std::to_string(guard.count() / 1000) + " s while " + awaited +
                       " was awaited");
    if (sight.kind == Sight::Kind::Ended) programEnded();
    return sight;
  }

  // The program's own end has an exit code of 0; any other is a crash.
  void programEnded() {
    outcome_.exitCode = ui().waitExit(kStepGuard);
    say("setup.exe ended with exit code " + std::to_string(outcome_.exitCode));
    if (outcome_.exitCode != 0) throw RunFailure("setup.exe ended with exit code " + std::to_string(outcome_.exitCode));
  }

  // A message box: its picture, its words, then OK as a person presses it.
  MessageReading answer(const MessageBoxInfo& box, const std::string& pictureName, const std::string& what) {
    std::string text = box.textUtf8;
    for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.replace(at, 2, "\n      ");
    say("message \"" + box.captionUtf8 + "\":");
    say("    " + text);
    std::this_thread::sleep_for(kDrawn);
    picture(pictureName, what);
    setupdriver::answer(ui(), box, kStepGuard);
    say("pressed OK");
    return readMessage(box.caption, box.text);
  }

  // After a last message the program ends by itself; any further message is
  // answered too, and the program misbehaves.
  void followToTheEnd(const std::string& pictureName) {
    Sight sight = next("the end of setup.exe", kStepGuard);
    if (sight.kind == Sight::Kind::Ended) return;
    answer(sight.box, pictureName, "a further message");
    throw RunFailure("setup.exe showed a message where it should have ended: " + sight.box.textUtf8);
  }

  // ---- the steps

  void follow() {
    const WindowInfo selection = waitSelection(ui(), kProbeGuard);
    std::this_thread::sleep_for(kDrawn);
    picture("1-selection-probing", "dialog 101 while the device is identified");
    control("delay 0");

    // The device is accepted, refused with a message, or the program ends without one.
    Sight probe = next("the device's identification", kProbeGuard, [&] { return accepted(ui(), selection.hwnd); });
    if (probe.kind == Sight::Kind::MessageBox) {
      MessageReading reading = answer(probe.box, "2-device-refused", "the message over dialog 101");
      followToTheEnd("2-device-refused-more");
      outcome_.kind = Outcome::Kind::DeviceRefused;
      outcome_.message = reading.kind;
      outcome_.messageUtf8 = probe.box.textUtf8;
      return;
    }
    if (probe.kind == Sight::Kind::Ended) {
      outcome_.kind = Outcome::Kind::DeviceSilent;
      return;
    }
    std::this_thread::sleep_for(kDrawn);
    picture("2-selection-ready", "dialog 101 with the package sizes and the free storage");

    if (options_.choice == Choice::None) {
      cancel(selection);
      return;
    }
    choose(selection);
    confirm(selection);
  }

  void cancel(const WindowInfo& selection) {
    ui().click(selection.hwnd, kCancel);
    say("pressed Cancel");
    if (next("the end of setup.exe", kStepGuard).kind == Sight::Kind::MessageBox)
      throw RunFailure("setup.exe showed a message after Cancel");
    outcome_.kind = Outcome::Kind::Cancelled;
  }

  void choose(const WindowInfo& selection) {
    tick(ui(), selection.hwnd, options_.choice != Choice::Vb, options_.choice != Choice::Mfc, kStepGuard);
    const std::string name = options_.choice == Choice::Both ? "both" : options_.choice == Choice::Mfc ? "mfc" : "vb";
    std::this_thread::sleep_for(kDrawn);
    picture("3-selection-" + name + "-ticked", "dialog 101 with " + packagesOf(options_.choice) + " ticked");
  }

  // OK: the transfer dialog, or the refusal of a choice that does not fit; a
  // transfer that ends fast may have come and gone before the first look.
  void confirm(const WindowInfo& selection) {
    if (options_.slowCopy) control("delay 40");
    ui().click(selection.hwnd, kOk);
    say("pressed OK");
    Sight sight = next("the transfer dialog", kStepGuard, [&] { return shownTransfer(ui()).has_value(); });
    if (sight.kind == Sight::Kind::Ready) pictureTransfer();
    if (options_.slowCopy) control("delay 0");
    if (sight.kind == Sight::Kind::Ready) sight = next("the end of the transfer", kTransferGuard);
    if (sight.kind == Sight::Kind::MessageBox &&
        readMessage(sight.box.caption, sight.box.text).kind == Message::LowStorage) {
      refusedChoice(selection, sight.box);
      return;
    }
    finishTransfer(sight);
  }

  void pictureTransfer() {
    // A file on its way, unless the transfer is over before one shows.
    bool copying = pollUntil(
        [&] {
          auto transfer = shownTransfer(ui());
          if (!transfer) return true;
          auto source = shownControl(ui(), transfer->hwnd, IDC_SOURCE_PATH);
          return !source || !source->text.empty();
        },
        kStepGuard);
    if (copying && shownTransfer(ui())) picture("4-transfer", "dialog 102 copying a file");
  }

  void refusedChoice(const WindowInfo& selection, const MessageBoxInfo& box) {
    // The dialog shows what it compared: the memory needed and the free storage it just read.
    try {
      outcome_.neededKb = shownNumber(ui(), selection.hwnd, IDC_MEMORY_NEEDED);
      outcome_.freeKb = shownNumber(ui(), selection.hwnd, IDC_MEMORY_AVAILABLE);
    } catch (const UiDriverError&) {
      throw RunFailure("the selection dialog went away under its low-storage message");
    }
    answer(box, "4-not-enough-storage", "the message over dialog 101");
    // The dialog takes input again once its message has gone.
    if (!pollUntil(
            [&] {
              auto cancelButton = shownControl(ui(), selection.hwnd, kCancel);
              for (const WindowInfo& window : ui().windows())
                if (window.hwnd == selection.hwnd) return window.enabled && cancelButton && cancelButton->enabled;
              return false;
            },
            kStepGuard))
      throw RunFailure("the selection dialog did not take input again after its low-storage message");
    say("the choice (" + packagesOf(options_.choice) +
        ") does not fit the free storage; --choose asks for nothing else, so the run cancels");
    cancel(selection);
    outcome_.kind = Outcome::Kind::StorageRefused;
  }

  // After the transfer: the message of items not installed, if any, then
  // the reset notice, then the program's end.
  void finishTransfer(Sight sight) {
    bool notice = false;
    while (sight.kind == Sight::Kind::MessageBox) {
      const MessageReading reading = readMessage(sight.box.caption, sight.box.text);
      const bool ordered = !notice && (reading.kind == Message::ResetNotice ||
                                       (reading.kind == Message::ItemsNotInstalled && outcome_.itemsNotInstalled == 0));
      if (reading.kind == Message::ResetNotice)
        answer(sight.box, "5-reset-notice", "the reset notice");
      else if (reading.kind == Message::ItemsNotInstalled)
        answer(sight.box, "5-items-not-installed", "the message of items not installed");
      else
        answer(sight.box, "5-message", "a message after the transfer");
      if (!ordered)
        throw RunFailure("setup.exe showed an unexpected message after the transfer: " + sight.box.textUtf8);
      if (reading.kind == Message::ItemsNotInstalled) outcome_.itemsNotInstalled = reading.items;
      notice = reading.kind == Message::ResetNotice;
      sight = next("the reset notice or the end of setup.exe", kStepGuard);
    }
    if (!notice) throw RunFailure("setup.exe ended after OK without the reset notice");
    outcome_.kind = Outcome::Kind::Installed;
    outcome_.packageFiles = packageFiles();
  }

  // The files of the chosen package folders (ADO with either), when the
  // device's language says which folder the program took.
  std::optional<long> packageFiles() const {
    const std::string folder = options_.deviceLanguage == "ENG"   ? "English"
                               : options_.deviceLanguage == "JPN" ? "Japanese"
                                                                  : "";
    if (folder.empty()) return std::nullopt;
    std::vector<std::string> groups = {"ADO"};
    if (options_.choice != Choice::Vb) groups.push_back("MFC");
    if (options_.choice != Choice::Mfc) groups.push_back("VB");
    long count = 0;
    for (const std::string& group : groups) {
      std::error_code error;
      for (const auto& entry : fs::directory_iterator(options_.runFolder / folder / group, error))
        if (!entry.is_directory()) ++count;
    }
    return count;
  }

  const Options& options_;
  UiDriver* driver_ = nullptr;
  Outcome outcome_;
};

} // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  const Outcome outcome = Run(options).go();
  std::string line = summaryLine(outcome);
  if (outcome.kind == Outcome::Kind::Failed) {
    // The whole reason (it may hold uidriver's log) here; its first line in the summary.
    std::cerr << "setup-headless: " << outcome.failure << "\n";
    if (const size_t newline = line.find('\n'); newline != std::string::npos) line.resize(newline);
  }
  if (options.summary.empty()) {
    std::cout << line << std::endl;
  } else {
    std::ofstream summary(options.summary);
    summary << line << "\n";
    if (!summary) std::cerr << "setup-headless: cannot write " << options.summary << "; the run: " << line << "\n";
  }
  return exitStatus(outcome);
}

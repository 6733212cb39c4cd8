// What a headless run of the setup program came to: the messages the program
// shows, told apart by their code page 932 bytes, and the one line that says
// how the run ended.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace headless {

// The packages a person ticks in the selection dialog; None presses Cancel.
enum class Choice { Mfc, Vb, Both, None };
std::optional<Choice> parseChoice(const std::string& word); // mfc, vb, both, none
// "MFC", "VB" or "MFC and VB" (None: "nothing").
std::string packagesOf(Choice choice);

// What a message box of the program says, read from its caption and text bytes.
enum class Message {
  WrongVersion,      // the device is refused for its version
  WrongLanguage,     // ... for its language
  ConnectFailed,     // no device answered
  LowStorage,        // the choice needs more than the free storage
  ItemsNotInstalled, // the transfer could not install some items (a count)
  ResetNotice,       // the end of an install
  Other,             // none of the program's own
};
struct MessageReading {
  Message kind = Message::Other;
  long items = 0; // ItemsNotInstalled: how many, as the text tells
};
MessageReading readMessage(const std::string& caption, const std::string& text);

struct Outcome {
  enum class Kind {
    Installed,      // the transfer ended with the reset notice
    DeviceRefused,  // a message before the selection, then the program's end
    DeviceSilent,   // the program ended before the selection, without a message
    StorageRefused, // the choice did not fit; the run cancelled
    Cancelled,      // Cancel in the selection
    Failed,         // the run could not follow the program, or the program misbehaved
  };
  Kind kind = Kind::Failed;
  Choice choice = Choice::Both;
  Message message = Message::Other; // DeviceRefused: what the program said
  std::string messageUtf8;          // DeviceRefused: its text, for a message of no known kind
  std::string deviceVersion;        // the device's identity, for the words (may be empty)
  std::string deviceLanguage;
  std::optional<long> packageFiles; // Installed: files in the chosen package folders
  long itemsNotInstalled = 0;       // Installed: as the program told
  unsigned long neededKb = 0;       // StorageRefused: as the dialog showed them
  unsigned long freeKb = 0;
  uint32_t exitCode = 0; // the program's, once it has ended
  std::string failure;   // Failed: why
};

// One line, such as "installed MFC and VB (12 files), reset notice shown".
std::string summaryLine(const Outcome& outcome);
// 0 when the run followed the program to an end the program chose, whatever
// it decided; 1 when the run failed or the program misbehaved.
int exitStatus(const Outcome& outcome);

// A number with a comma every three digits: 1,370.
std::string withThousands(unsigned long value);

} // namespace headless

#include "outcome.h"

#include "setup_ui.h"

#include <cctype>

namespace headless {

std::optional<Choice> parseChoice(const std::string& word) {
  if (word == "mfc") return Choice::Mfc;
  if (word == "vb") return Choice::Vb;
  if (word == "both") return Choice::Both;
  if (word == "none") return Choice::None;
  return std::nullopt;
}

std::string packagesOf(Choice choice) {
  switch (choice) {
  case Choice::Mfc:
    return "MFC";
  case Choice::Vb:
    return "VB";
  case Choice::Both:
    return "MFC and VB";
  case Choice::None:
    break;
  }
  return "nothing";
}

MessageReading readMessage(const std::string& caption, const std::string& text) {
  using namespace setupdriver;
  if (caption == warningCaption() && text == resetPromptText()) return {Message::ResetNotice};
  if (caption != errorCaption()) return {Message::Other};
  if (text == wrongVersionText()) return {Message::WrongVersion};
  if (text == wrongLanguageText()) return {Message::WrongLanguage};
  if (text == connectFailedText()) return {Message::ConnectFailed};
  if (text == lowStorageText()) return {Message::LowStorage};
  // The count comes first, as the program writes it: a decimal number.
  size_t digits = 0;
  while (digits < text.size() && digits < 10 && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits == 0) return {Message::Other};
  const long items = std::stol(text.substr(0, digits));
  if (text == transferFailedText(items)) return {Message::ItemsNotInstalled, items};
  return {Message::Other};
}

std::string withThousands(unsigned long value) {
  std::string digits = std::to_string(value);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

namespace {

std::string refusal(const Outcome& o) {
  switch (o.message) {
  case Message::WrongVersion:
    return o.deviceVersion.empty() ? "refused: the device's version is 1.3 or higher"
                                   : "refused: device version " + o.deviceVersion + " is 1.3 or higher";
  case Message::WrongLanguage:
    return o.deviceLanguage.empty() ? "refused: the device's language is neither ENG nor JPN"
                                    : "refused: device language " + o.deviceLanguage + " is neither ENG nor JPN";
  case Message::ConnectFailed:
    return "not connected: no device answered within 10 s";
  default:
    return "ended after the message \"" + o.messageUtf8 + "\"";
  }
}

std::string installed(const Outcome& o) {
  std::string line = "installed " + packagesOf(o.choice);
  if (o.itemsNotInstalled > 0)
    line += " with " + std::to_string(o.itemsNotInstalled) + (o.itemsNotInstalled == 1 ? " item" : " items") +
            " not installed (told)";
  else if (o.packageFiles)
    line += " (" + std::to_string(*o.packageFiles) + (*o.packageFiles == 1 ? " file)" : " files)");
  return line + ", reset notice shown";
}

} // namespace

std::string summaryLine(const Outcome& o) {
  switch (o.kind) {
  case Outcome::Kind::Installed:
    return installed(o);
  case Outcome::Kind::DeviceRefused:
    return refusal(o);
  case Outcome::Kind::DeviceSilent:
    return "not accepted: setup.exe ended without a message while it identified the device (exit code " +
           std::to_string(o.exitCode) + ")";
  case Outcome::Kind::StorageRefused:
    return "refused: not enough free storage for " + packagesOf(o.choice) + " (" + withThousands(o.neededKb) +
           " KB needed, " + withThousands(o.freeKb) + " KB free); cancelled";
  case Outcome::Kind::Cancelled:
    return "cancelled";
  case Outcome::Kind::Failed:
    break;
  }
  return "failed: " + o.failure;
}

int exitStatus(const Outcome& outcome) { return outcome.kind == Outcome::Kind::Failed ? 1 : 0; }

} // namespace headless

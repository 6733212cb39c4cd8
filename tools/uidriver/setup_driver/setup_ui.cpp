#include "setup_ui.h"

#include "japanese_texts.h"
#include "uidriver_client.h"

#include <stdexcept>
#include <string_view>

namespace setupdriver {

namespace {

// Entry n of the Japanese set, in UTF-8 as the resource script has it.
std::string_view utf8Text(int entry) {
  switch (entry) {
#define JAPANESE_TEXT_CASE(n, text)                                                                                    \
  case n:                                                                                                              \
    return text;
    JAPANESE_TEXTS(JAPANESE_TEXT_CASE)
#undef JAPANESE_TEXT_CASE
  default:
    break;
  }
  throw std::out_of_range("the Japanese string set has no entry " + std::to_string(entry));
}

} // namespace

std::string uiText(int entry) { return uidriver::cp932(utf8Text(entry)); }

std::string transferFailedText(long items) {
  std::string text(utf8Text(IDS_TRANSFER_FAILED_TEXT));
  const size_t count = text.find("%d");
  if (count == std::string::npos) throw std::logic_error("the transfer's failure message has no %d");
  text.replace(count, 2, std::to_string(items));
  return uidriver::cp932(text);
}

} // namespace setupdriver

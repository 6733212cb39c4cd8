// hold_file.exe PATH [SECONDS]
//
// Opens PATH for reading and writing with no sharing, as a program that has
// the file in use does: while it is held, no other program can open it. Says
// "holding" on its standard output once the file is held, then waits until its
// standard input ends (the program that started it lets go by closing it), or
// SECONDS have passed (120 when not given), so that it never outlives its use.
// Exit code 0 after holding the file, 1 when it could not be opened, 2 on bad
// arguments.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr DWORD kDefaultSeconds = 120;
constexpr DWORD kMaxSeconds = 3600;

// The time limit: the hold ends with the process, whatever the input does.
DWORD WINAPI endAfter(LPVOID seconds) {
  Sleep(DWORD(reinterpret_cast<ULONG_PTR>(seconds)) * 1000);
  ExitProcess(0);
}

// Waits until the standard input ends or the time is up. Anything sent is ignored.
void waitForRelease(DWORD seconds) {
  HANDLE watchdog = CreateThread(NULL, 0, endAfter, reinterpret_cast<LPVOID>(ULONG_PTR(seconds)), 0, NULL);
  if (watchdog == NULL) {
    Sleep(seconds * 1000);
    return;
  }
  CloseHandle(watchdog);
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  char discard[256];
  DWORD read = 0;
  if (input == NULL || input == INVALID_HANDLE_VALUE) {
    Sleep(seconds * 1000);
    return;
  }
  while (ReadFile(input, discard, sizeof discard, &read, NULL) && read > 0) {
  }
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: hold_file PATH [SECONDS]\n");
    return 2;
  }
  DWORD seconds = kDefaultSeconds;
  if (argc == 3) {
    char* end = nullptr;
    const unsigned long asked = std::strtoul(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || asked == 0 || asked > kMaxSeconds) {
      std::fprintf(stderr, "hold_file: SECONDS must be 1 to %lu\n", (unsigned long)kMaxSeconds);
      return 2;
    }
    seconds = DWORD(asked);
  }
  HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "hold_file: cannot open %s: error %lu\n", argv[1], (unsigned long)GetLastError());
    return 1;
  }
  std::printf("holding\n");
  std::fflush(stdout);
  waitForRelease(seconds);
  CloseHandle(file);
  return 0;
}

/* Links every RAPI function through the import library, as a caller built
 * against the platform's header does, so the build can check what such a
 * program imports. Built in C to keep rapi.h honest for C callers. Never run. */
#include "rapi.h"

#ifndef _WIN64
_Static_assert(sizeof(RAPIINIT) == 12, "RAPIINIT is 12 bytes in a 32-bit program");
_Static_assert(sizeof(STARTUPINFOW) == 68, "STARTUPINFO is 68 bytes in a 32-bit program");
#endif

typedef void (*AnyFunction)(void);

/* Taking each address is enough to make the linker import it. */
static AnyFunction const everyFunction[] = {
    (AnyFunction)CeRapiInit,        (AnyFunction)CeRapiInitEx,       (AnyFunction)CeRapiUninit,
    (AnyFunction)CeRapiGetError,    (AnyFunction)CeGetLastError,     (AnyFunction)CeRapiFreeBuffer,
    (AnyFunction)CeCreateProcess,   (AnyFunction)CeCreateFile,       (AnyFunction)CeGetFileSize,
    (AnyFunction)CeReadFile,        (AnyFunction)CeWriteFile,        (AnyFunction)CeCloseHandle,
    (AnyFunction)CeDeleteFile,      (AnyFunction)CeMoveFile,         (AnyFunction)CeCreateDirectory,
    (AnyFunction)CeFindAllFiles,    (AnyFunction)CeGetStoreInformation, (AnyFunction)CeRegOpenKeyEx,
    (AnyFunction)CeRegCreateKeyEx,  (AnyFunction)CeRegSetValueEx,    (AnyFunction)CeRegCloseKey,
    (AnyFunction)CeRegQueryValueEx,
};

int main(int argc, char **argv) {
  (void)argv;
  /* Called too, so the stdcall references are the decorated ones a real caller makes. */
  if (argc > 99) {
    RAPIINIT init = {sizeof(init), 0, 0};
    CeRapiInitEx(&init);
    CeRapiUninit();
  }
  /* An index the compiler cannot know keeps every entry. */
  return everyFunction[(unsigned)argc % (sizeof(everyFunction) / sizeof(everyFunction[0]))] != 0 ? 0 : 1;
}

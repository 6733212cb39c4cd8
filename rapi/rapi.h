/*
 * Windows CE Remote API (RAPI): the desktop-side calls that reach a connected
 * device, with the published names, signatures and calling convention
 * (WINAPI, wide strings only). MinGW ships no such header, so this one stands
 * in for the platform's. Usable from C and C++.
 *
 * The functions are exported by rapi.dll under their bare names, as the
 * platform's RAPI.dll exports them, so a 32-bit program links by name whether
 * it was built against this header or the platform's.
 */
#ifndef PSPC_RAPI_H
#define PSPC_RAPI_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The asynchronous connection request of CeRapiInitEx. cbSize must be
 * sizeof(RAPIINIT) (12 bytes in a 32-bit program). */
typedef struct _RAPIINIT {
  DWORD cbSize;
  HANDLE heRapiInit; /* signalled when the connection attempt has ended */
  HRESULT hrRapiInit; /* outcome of the attempt, valid once signalled */
} RAPIINIT;

typedef struct STORE_INFORMATION {
  DWORD dwStoreSize; /* object store capacity in bytes */
  DWORD dwFreeSize;  /* bytes still free */
} STORE_INFORMATION, *LPSTORE_INFORMATION;

typedef struct _CE_FIND_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwOID;
  WCHAR cFileName[MAX_PATH];
} CE_FIND_DATA, *LPCE_FIND_DATA;

typedef CE_FIND_DATA **LPLPCE_FIND_DATA;

/* CeFindAllFiles: which fields of each CE_FIND_DATA to fill. */
#define FAF_ATTRIBUTES 0x00000001
#define FAF_CREATION_TIME 0x00000002
#define FAF_LASTACCESS_TIME 0x00000004
#define FAF_LASTWRITE_TIME 0x00000008
#define FAF_SIZE_HIGH 0x00000010
#define FAF_SIZE_LOW 0x00000020
#define FAF_OID 0x00000040
#define FAF_NAME 0x00000080
#define FAF_FLAG_COUNT 8
/* ...and which entries to list. */
#define FAF_ATTRIB_CHILDREN 0x00001000
#define FAF_ATTRIB_NO_HIDDEN 0x00002000
#define FAF_FOLDERS_ONLY 0x00004000
#define FAF_NO_HIDDEN_SYS_ROMMODULES 0x00008000
#define FAF_GETTARGET 0x00010000

/* RAPI's own results. */
#define CERAPI_E_ALREADYINITIALIZED ((HRESULT)0x80041001L)

/* Connection. CeRapiInitEx returns at once and signals heRapiInit when the
 * connection attempt ends; CeRapiInit returns when connected. */
HRESULT WINAPI CeRapiInit(void);
HRESULT WINAPI CeRapiInitEx(RAPIINIT *pRapiInit);
HRESULT WINAPI CeRapiUninit(void);

/* Why the calling thread's last call failed: a link-level HRESULT
 * (CeRapiGetError) and the device's Win32 error code (CeGetLastError). */
HRESULT WINAPI CeRapiGetError(void);
DWORD WINAPI CeGetLastError(void);

/* Frees a buffer that a RAPI call allocated (CeFindAllFiles). */
HRESULT WINAPI CeRapiFreeBuffer(LPVOID Buffer);

/* Processes. The published header takes the platform's STARTUPINFO here; the
 * record is not sent to the device, and its A and W forms have the same layout. */
BOOL WINAPI CeCreateProcess(LPCWSTR lpApplicationName, LPCWSTR lpCommandLine,
                            LPSECURITY_ATTRIBUTES lpProcessAttributes,
                            LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                            DWORD dwCreationFlags, LPVOID lpEnvironment, LPWSTR lpCurrentDirectory,
                            LPSTARTUPINFO lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation);

/* Files. */
HANDLE WINAPI CeCreateFile(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                           LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                           DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
DWORD WINAPI CeGetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
BOOL WINAPI CeReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                       LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WINAPI CeWriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                        LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL WINAPI CeCloseHandle(HANDLE hObject);
BOOL WINAPI CeDeleteFile(LPCWSTR lpFileName);
BOOL WINAPI CeMoveFile(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName);
BOOL WINAPI CeCreateDirectory(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
BOOL WINAPI CeFindAllFiles(LPCWSTR szPath, DWORD dwFlags, LPDWORD lpdwFoundCount,
                           LPLPCE_FIND_DATA ppFindDataArray);
BOOL WINAPI CeGetStoreInformation(LPSTORE_INFORMATION lpsi);

/* Registry. Results are Win32 registry status codes (ERROR_SUCCESS = 0). */
LONG WINAPI CeRegOpenKeyEx(HKEY hKey, LPCWSTR lpszSubKey, DWORD dwReserved, REGSAM samDesired,
                           PHKEY phkResult);
LONG WINAPI CeRegCreateKeyEx(HKEY hKey, LPCWSTR lpszSubKey, DWORD dwReserved, LPWSTR lpszClass,
                             DWORD fdwOptions, REGSAM samDesired,
                             LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                             LPDWORD lpdwDisposition);
LONG WINAPI CeRegSetValueEx(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                            LPBYTE lpData, DWORD cbData);
LONG WINAPI CeRegCloseKey(HKEY hKey);
LONG WINAPI CeRegQueryValueEx(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                              LPBYTE lpData, LPDWORD lpcbData);

#ifdef __cplusplus
}
#endif

#endif /* PSPC_RAPI_H */

# Makes the Windows user's zip with the build's package target and checks what
# a user takes out of it: setup.exe and the two read-me texts, nothing else;
# setup.exe the i686 program, needing no DLL a Windows desktop lacks and
# calling the RAPI functions by the bare names the platform's RAPI.dll exports;
# the texts readable on such a desktop and naming the folders they talk of.
# Arguments: -DBUILD_DIR=build tree -DZIP=the zip it makes -DOBJDUMP=<triplet>-objdump
#            -DDEF=rapi.def -DWORK_DIR=where to unpack
cmake_minimum_required(VERSION 3.25)

foreach(arg BUILD_DIR ZIP OBJDUMP DEF WORK_DIR)
  if(NOT DEFINED ${arg})
    message(FATAL_ERROR "check_package.cmake needs -D${arg}=...")
  endif()
endforeach()

# A zip left by an earlier run must not pass for this one.
file(REMOVE ${ZIP})
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target package
  OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT EXISTS ${ZIP})
  message(FATAL_ERROR "the package target did not make ${ZIP} (${status}):\n${output}")
endif()

set(problems)

# Exactly these entries, at the top of the zip.
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${ZIP}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cannot list ${ZIP} (${status})")
endif()
string(STRIP "${listing}" listing)
string(REPLACE "\n" ";" entries "${listing}")
list(SORT entries)
set(expected README-en.txt README-ja.txt setup.exe)
if(NOT entries STREQUAL expected)
  string(REPLACE ";" ", " entries "${entries}")
  string(REPLACE ";" ", " expected "${expected}")
  message(FATAL_ERROR "${ZIP} holds ${entries}; it must hold exactly ${expected}")
endif()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${ZIP} WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cannot unpack ${ZIP} (${status})")
endif()

# setup.exe: a 32-bit x86 Windows program.
set(setup ${WORK_DIR}/setup.exe)
execute_process(COMMAND ${OBJDUMP} -f ${setup} OUTPUT_VARIABLE header RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT header MATCHES "file format pei-i386")
  list(APPEND problems "setup.exe is not an i686 Windows program:\n${header}")
endif()

# It stands alone beside the packages: besides RAPI.dll it may load only DLLs
# that every Windows desktop has (no compiler runtime such as libstdc++-6.dll).
set(system_dlls advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll
                ole32.dll oleaut32.dll shell32.dll user32.dll ws2_32.dll)
execute_process(COMMAND ${OBJDUMP} -p ${setup} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
string(REGEX MATCHALL "DLL Name: [^\r\n]+" dll_lines "${dump}")
set(dlls)
foreach(line IN LISTS dll_lines)
  string(REGEX REPLACE "^DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll)
  list(APPEND dlls ${dll})
  if(NOT dll STREQUAL "rapi.dll" AND NOT dll IN_LIST system_dlls)
    list(APPEND problems "setup.exe needs ${dll}, which is not in the zip nor a DLL of every Windows desktop")
  endif()
endforeach()
if(NOT "rapi.dll" IN_LIST dlls)
  list(APPEND problems "setup.exe does not import from RAPI.dll")
endif()

# The RAPI calls bind by bare name, as the platform's RAPI.dll exports them.
execute_process(
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${OBJDUMP} -DMODE=imports -DSOME=ON -DBINARY=${setup} -DDEF=${DEF}
          -P ${CMAKE_CURRENT_LIST_DIR}/../rapi/check/check_exports.cmake
  OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  list(APPEND problems "${output}")
endif()

# The read-me texts: Windows line ends, the folder layout and what to run.
# English in plain ASCII; Japanese in code page 932, so it reads right on a
# Japanese desktop (decoded, it must give the Japanese text back).
function(check_text name text charset)
  # Byte by byte: file(READ) as text drops carriage returns.
  file(READ ${WORK_DIR}/${name} hex HEX)
  string(REGEX REPLACE "(..)" "<\\1>" bytes "${hex}")
  string(REPLACE "<0d><0a>" "" bare "${bytes}")
  if(bytes STREQUAL "" OR bare MATCHES "<0d>|<0a>")
    list(APPEND problems "${name} is empty or has line ends other than CR LF")
  endif()
  if(charset STREQUAL "ASCII" AND bytes MATCHES "<[89a-f].>")
    list(APPEND problems "${name} is not plain ASCII")
  endif()
  foreach(term IN ITEMS "setup.exe" "English\\" "Japanese\\" "MFC\\" "VB\\" "ADO\\" "RAPI.dll" ${ARGN})
    string(FIND "${text}" "${term}" at)
    if(at EQUAL -1)
      list(APPEND problems "${name} does not say \"${term}\"")
    endif()
  endforeach()
  set(problems "${problems}" PARENT_SCOPE)
endfunction()

file(READ ${WORK_DIR}/README-en.txt english)
check_text(README-en.txt "${english}" ASCII "writes nothing on the desktop")

execute_process(COMMAND iconv -f CP932 -t UTF-8 ${WORK_DIR}/README-ja.txt
  OUTPUT_VARIABLE japanese ERROR_VARIABLE iconv_error RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  list(APPEND problems "README-ja.txt is not code page 932 text: ${iconv_error}")
endif()
check_text(README-ja.txt "${japanese}" CP932 "パームサイズPC" "何も書き込みません")

if(problems)
  string(REPLACE ";" "\n  " report "${problems}")
  message(FATAL_ERROR "${ZIP}:\n  ${report}")
endif()
message(STATUS "${ZIP}: setup.exe for i686 importing RAPI by bare name, and the two read-me texts")

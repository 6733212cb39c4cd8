# What `cmake --install` puts in place, and the Debian package made of it
# (cpack -G DEB in a release build):
#
#   bin/                      pspclink, pspcemu, pspc-attach, pspc-setup
#   lib/pspc-setup/           setup.exe, rapi.dll, cetool.exe (the Windows
#                             programs), and what pspc-setup runs them with:
#                             uidriver.exe, setup-headless, the Wine runner
#   share/pspc-setup/samples/ the sample packages (Japanese/, English/)
#   share/man/man1/           a manual page for each command
#   lib/systemd/user/         pspclink.service, the manager kept up for a user
#
# The Windows programs come from PSPC_WINDOWS_BIN, a win64 build's bin
# folder (the tests install what they tested); left empty, this build makes
# them itself with the MinGW-w64 cross compiler.
include(GNUInstallDirs)

set(PSPC_WINDOWS_BIN "" CACHE PATH "The bin folder of a win64 build whose programs are installed (empty: built here)")
set(PSPC_LIB_DIR lib/pspc-setup)
set(PSPC_WINDOWS_PROGRAMS setup.exe rapi.dll cetool.exe uidriver.exe)

if(PSPC_WINDOWS_BIN)
  set(windows_bin ${PSPC_WINDOWS_BIN})
else()
  include(ExternalProject)
  set(windows_bin ${CMAKE_BINARY_DIR}/windows/bin)
  list(TRANSFORM PSPC_WINDOWS_PROGRAMS PREPEND ${windows_bin}/ OUTPUT_VARIABLE windows_byproducts)
  # -O2, as the tested win64 build: GCC 12's -O3 warns falsely of overlapping
  # copies inside std::string (-Wrestrict), and warnings stop the build.
  ExternalProject_Add(windows_programs
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/windows
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
               -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DPSPC_TESTS=OFF
    INSTALL_COMMAND ""
    # The cross build decides itself what changed.
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${windows_byproducts})
endif()

# Files that name their version or where they are installed, written when
# they are installed, for the prefix then in use (cpack installs into /usr
# whatever this build was configured with).
function(pspc_install_configured source destination)
  get_filename_component(name ${source} NAME)
  string(REGEX REPLACE "\\.in$" "" name ${name})
  set(staged ${CMAKE_BINARY_DIR}/configured/${name})
  install(CODE "
    set(PSPC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(PSPC_VERSION \"${PROJECT_VERSION}\")
    configure_file(\"${source}\" \"${staged}\" @ONLY)
    file(INSTALL \"${staged}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${destination}\" ${ARGN})")
endfunction()

install(TARGETS pspclink pspcemu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS ${CMAKE_SOURCE_DIR}/tools/commands/pspc-attach DESTINATION ${CMAKE_INSTALL_BINDIR})
pspc_install_configured(${CMAKE_SOURCE_DIR}/tools/commands/pspc-setup ${CMAKE_INSTALL_BINDIR}
                        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                         WORLD_READ WORLD_EXECUTE)

install(TARGETS setup-headless RUNTIME DESTINATION ${PSPC_LIB_DIR})
install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh ${CMAKE_SOURCE_DIR}/scripts/make-wineprefix.sh
        DESTINATION ${PSPC_LIB_DIR})
foreach(program ${PSPC_WINDOWS_PROGRAMS})
  install(FILES ${windows_bin}/${program} DESTINATION ${PSPC_LIB_DIR})
endforeach()

install(DIRECTORY ${CMAKE_BINARY_DIR}/samples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/pspc-setup/samples
        PATTERN .made EXCLUDE)
foreach(command pspclink pspcemu pspc-attach pspc-setup)
  pspc_install_configured(${CMAKE_SOURCE_DIR}/docs/man/${command}.1 ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
pspc_install_configured(${CMAKE_SOURCE_DIR}/tools/commands/pspclink.service.in lib/systemd/user)

# The Debian package: pspc-setup_<version>_amd64.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pspc-setup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "pspc-setup developers <pspc-setup@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "runtime setup for Windows CE palm-size PCs, with a device emulator")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
       "Installs the MFC and Visual Basic runtime support packages on a Windows CE\n"
       "palm-size PC (PsPC) from a Linux desktop: the setup program runs under Wine\n"
       "and reaches the device through pspclink, its connection manager; pspc-attach\n"
       "brings up the serial cable. pspcemu emulates a device for trying installs.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION otherosfs)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6, libstdc++6, libgcc-s1, wine, wine64, ppp, fonts-ipafont-gothic, fonts-wine")
# For --headless: the virtual screen and the pictures of the dialogs.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xvfb, imagemagick")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)

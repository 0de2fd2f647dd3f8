# What a release package holds, and how CPack makes it: a ZIP for the Windows
# build, a .tar.gz for the Linux build, each with a SHA-256 checksum file.
#
#   <package>/zizaro_do[.exe]     stripped; its debug information kept apart
#   <package>/7z.exe              7-Zip's console (on Linux a link to the system's 7zz)
#   <package>/LICENSE-7zip.txt
#   <package>/LICENSE-glog.txt
#   <package>/README.txt          with CRLF line ends in the Windows package
#
# scripts/package drives it; by hand, after a release build:
#   cpack --config build/<preset>/CPackConfig.cmake -B <folder> -D ZIZARO_DEBUG_DIR=<folder> \
#         -D ZIZARO_SIGN_CERT=<cert.pem> -D ZIZARO_SIGN_KEY=<key.pem>    (Windows)

# The package needs the program only: installing (and so cpack) does not
# build every target first, the test programs included. Build the release
# preset before packaging (`cmake --build --preset <system>-release`, as
# scripts/package does).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Everything lands at the top of the package; the archive's one folder is
# CPack's top-level directory, named after the package file.
install(TARGETS zizaro_do RUNTIME DESTINATION .)
# On Linux bin/7z.exe is a symbolic link, and installs as one.
install(PROGRAMS ${CMAKE_BINARY_DIR}/bin/7z.exe DESTINATION .)
install(FILES /usr/share/doc/7zip/copyright DESTINATION . RENAME LICENSE-7zip.txt)
install(FILES /usr/share/doc/libgoogle-glog-dev/copyright DESTINATION . RENAME LICENSE-glog.txt)

if(WIN32)
  set(ZIZARO_README_SYSTEM "Windows, 32-bit")
  set(ZIZARO_README_LOG_FOLDER [[%APPDATA%\QuexaZevuvEdov2\log\<YYYY_MM_DD>\]])
  set(ZIZARO_README_NEWLINE CRLF)
  set(ZIZARO_PACKAGE_SYSTEM win32)
  set(CPACK_GENERATOR ZIP)
else()
  set(ZIZARO_README_SYSTEM "Linux, x86-64; needs Debian's 7zip and libgoogle-glog0v6")
  set(ZIZARO_README_LOG_FOLDER
      [[$APPDATA, else $XDG_STATE_HOME, else ~/.local/state, then QuexaZevuvEdov2/log/<YYYY_MM_DD>/]])
  set(ZIZARO_README_NEWLINE UNIX)
  set(ZIZARO_PACKAGE_SYSTEM linux-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_GENERATOR TGZ)
endif()
set(ZIZARO_README_EXE "${CMAKE_EXECUTABLE_SUFFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/package-readme.txt.in ${CMAKE_BINARY_DIR}/package/README.txt
               @ONLY NEWLINE_STYLE ${ZIZARO_README_NEWLINE})
install(FILES ${CMAKE_BINARY_DIR}/package/README.txt DESTINATION .)

set(CPACK_PACKAGE_NAME zizaro_do)
set(CPACK_PACKAGE_VENDOR Quexa)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# scripts/package adds "-test-signed" (cpack -D CPACK_PACKAGE_FILE_NAME=...)
# when no release certificate is given.
set(CPACK_PACKAGE_FILE_NAME zizaro_do-${PROJECT_VERSION}-${ZIZARO_PACKAGE_SYSTEM})
set(CPACK_PACKAGE_CHECKSUM SHA256)
# CPack installs into its staging folder with the install step's stripping
# (the targets only: 7z.exe ships as built).
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

# Order inside CPack: install and strip into the staging folder, then the
# hook below (debug link, then signature), then the archive and its checksum.
# Signing must come after every change of the program's bytes: stripping and
# the debug link both rewrite the file and would break a signature made
# before them. Signing inside the staging folder also means the archive holds
# exactly the signed bytes; nothing touches them after the signature.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package-staged.cmake)
set(CPACK_ZIZARO_PROGRAM zizaro_do${CMAKE_EXECUTABLE_SUFFIX})
set(CPACK_ZIZARO_PROGRAM_BUILT ${CMAKE_BINARY_DIR}/bin/zizaro_do${CMAKE_EXECUTABLE_SUFFIX})
set(CPACK_ZIZARO_OBJCOPY ${CMAKE_OBJCOPY})
# Windows programs carry an Authenticode signature; the hook refuses to
# package them unsigned.
set(CPACK_ZIZARO_SIGNED_PROGRAMS "")
if(WIN32)
  set(CPACK_ZIZARO_SIGNED_PROGRAMS "zizaro_do.exe=Quexa client updater" "7z.exe=7-Zip console")
endif()
set(CPACK_ZIZARO_SIGN_URL https://download.quexa.example)

include(CPack)

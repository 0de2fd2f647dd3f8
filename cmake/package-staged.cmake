# CPack runs this after it has installed (and stripped) the package's files
# into its staging folder, and before it archives them (see packaging.cmake).
# It does what CPack cannot:
#   1. keeps the program's debug information apart, in ZIZARO_DEBUG_DIR (by
#      default the package folder), and links the stripped program to it;
#   2. signs the Windows programs with Authenticode (osslsigncode), last, so
#      that no later change of their bytes breaks the signature.
# Given with cpack -D:
#   ZIZARO_DEBUG_DIR       where <program>.debug goes
#   ZIZARO_SIGN_CERT       the signing certificate, with its intermediates (PEM)
#   ZIZARO_SIGN_KEY        its private key
#   ZIZARO_SIGN_PASS_FILE  a file holding the key's password (optional)
#   ZIZARO_TIMESTAMP_URL   an RFC 3161 time-stamping server (optional; needs the network)
cmake_minimum_required(VERSION 3.25)

set(staged "${CPACK_TEMPORARY_DIRECTORY}")
if(NOT IS_DIRECTORY "${staged}")
  message(FATAL_ERROR "package-staged: no staging folder (${staged})")
endif()

# 1. Debug information, taken from the program as built (the staged copy is
# already stripped), then the link from the stripped program to it.
if(NOT ZIZARO_DEBUG_DIR)
  set(ZIZARO_DEBUG_DIR "${CPACK_PACKAGE_DIRECTORY}")
endif()
file(MAKE_DIRECTORY "${ZIZARO_DEBUG_DIR}")
set(debug_file "${ZIZARO_DEBUG_DIR}/${CPACK_ZIZARO_PROGRAM}.debug")
execute_process(
  COMMAND "${CPACK_ZIZARO_OBJCOPY}" --only-keep-debug "${CPACK_ZIZARO_PROGRAM_BUILT}" "${debug_file}"
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(
  COMMAND "${CPACK_ZIZARO_OBJCOPY}" "--add-gnu-debuglink=${debug_file}" "${staged}/${CPACK_ZIZARO_PROGRAM}"
  COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "package-staged: debug information in ${debug_file}")

# 2. Signatures.
if(NOT CPACK_ZIZARO_SIGNED_PROGRAMS)
  return()
endif()
if(NOT ZIZARO_SIGN_CERT OR NOT ZIZARO_SIGN_KEY)
  message(FATAL_ERROR "package-staged: the Windows programs must be signed: give ZIZARO_SIGN_CERT and "
                      "ZIZARO_SIGN_KEY (scripts/package does)")
endif()
set(sign_options -certs "${ZIZARO_SIGN_CERT}" -key "${ZIZARO_SIGN_KEY}" -h sha256
                 -i "${CPACK_ZIZARO_SIGN_URL}")
if(ZIZARO_SIGN_PASS_FILE)
  # From a file: a password on the command line would show in the process list.
  list(APPEND sign_options -readpass "${ZIZARO_SIGN_PASS_FILE}")
endif()
if(ZIZARO_TIMESTAMP_URL)
  list(APPEND sign_options -ts "${ZIZARO_TIMESTAMP_URL}")
endif()
foreach(entry IN LISTS CPACK_ZIZARO_SIGNED_PROGRAMS)
  string(REGEX REPLACE "=.*" "" program "${entry}")
  string(REGEX REPLACE "^[^=]*=" "" description "${entry}")
  set(file "${staged}/${program}")
  # osslsigncode does not overwrite its input: sign into a new file, then
  # put it in place, with a program's permissions (osslsigncode writes 0644).
  file(REMOVE "${file}.signed")
  execute_process(
    COMMAND osslsigncode sign ${sign_options} -n "${description}" -in "${file}" -out "${file}.signed"
    COMMAND_ERROR_IS_FATAL ANY)
  file(RENAME "${file}.signed" "${file}")
  file(CHMOD "${file}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                   WORLD_READ WORLD_EXECUTE)
  message(STATUS "package-staged: signed ${program}")
endforeach()

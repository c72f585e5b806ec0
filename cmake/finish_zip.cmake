# Run at install time (install(SCRIPT)), after the programs and the README are in place:
# signs the programs when a certificate and key are given, then writes SHA256SUMS over
# every file installed, so the sums are those of the signed programs.
#
# Signing takes PEM files from the environment, never from the repository:
#   KORVEL7_SIGN_CERT  the code-signing certificate (and its chain)
#   KORVEL7_SIGN_KEY   its private key, unencrypted
# Input: KORVEL7_SIGNED_PROGRAMS, the programs' file names.
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")

set(cert "$ENV{KORVEL7_SIGN_CERT}")
set(key "$ENV{KORVEL7_SIGN_KEY}")
if(cert OR key)
  if(NOT cert OR NOT key OR NOT EXISTS "${cert}" OR NOT EXISTS "${key}")
    message(FATAL_ERROR "signing needs both KORVEL7_SIGN_CERT and KORVEL7_SIGN_KEY as "
                        "existing files (got '${cert}' and '${key}')")
  endif()
  find_program(osslsigncode osslsigncode REQUIRED)
  foreach(program IN LISTS KORVEL7_SIGNED_PROGRAMS)
    execute_process(
      COMMAND "${osslsigncode}" sign -certs "${cert}" -key "${key}" -h sha256
              -n "KORVEL7 Firmware Updater" -in "${root}/${program}" -out "${root}/${program}.signed"
      RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(failed)
      message(FATAL_ERROR "osslsigncode could not sign ${program}:\n${output}")
    endif()
    file(RENAME "${root}/${program}.signed" "${root}/${program}")
    message(STATUS "Signed ${program}")
  endforeach()
endif()

file(GLOB files RELATIVE "${root}" "${root}/*")
list(REMOVE_ITEM files SHA256SUMS)
list(SORT files)
set(sums "")
foreach(name IN LISTS files)
  file(SHA256 "${root}/${name}" sum)
  string(APPEND sums "${sum}  ${name}\n")
endforeach()
file(WRITE "${root}/SHA256SUMS" "${sums}")
message(STATUS "Wrote SHA256SUMS for ${files}")

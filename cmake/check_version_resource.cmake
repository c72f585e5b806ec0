# Run as a script (cmake -P): checks that a Windows executable's version resource carries
# the project's version, in its fixed part (four 16-bit numbers) and in its strings.
# Inputs: EXE, VERSION (four dot-separated numbers).
cmake_minimum_required(VERSION 3.25)
file(READ "${EXE}" image HEX)

# Little-endian hex of a 16-bit number.
function(hex16 number out)
  math(EXPR lo "${number} % 256" OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR hi "${number} / 256" OUTPUT_FORMAT HEXADECIMAL)
  foreach(byte lo hi)
    string(REPLACE "0x" "" ${byte} "${${byte}}")
    string(LENGTH "${${byte}}" length)
    if(length EQUAL 1)
      set(${byte} "0${${byte}}")
    endif()
  endforeach()
  set(${out} "${lo}${hi}" PARENT_SCOPE)
endfunction()

string(REPLACE "." ";" parts "${VERSION}")
list(GET parts 0 major)
list(GET parts 1 minor)
list(GET parts 2 patch)
list(GET parts 3 tweak)
foreach(part major minor patch tweak)
  hex16(${${part}} ${part}_hex)
endforeach()
# VS_FIXEDFILEINFO: signature FEEF04BD, structure version 1.0, then the file version and
# the product version, each as most and least significant 32 bits.
set(numbers "${minor_hex}${major_hex}${tweak_hex}${patch_hex}")
if(NOT image MATCHES "bd04effe00000100${numbers}${numbers}")
  message(FATAL_ERROR "${EXE}: the version resource's numbers are not ${VERSION}")
endif()

# The FileVersion and ProductVersion strings, UTF-16LE: "1, 0, 0, 1".
set(text "${major}, ${minor}, ${patch}, ${tweak}")
file(WRITE "${EXE}.version.txt" "${text}")
file(READ "${EXE}.version.txt" text_hex HEX)
file(REMOVE "${EXE}.version.txt")
string(REGEX REPLACE "(..)" "\\100" utf16 "${text_hex}")
string(REGEX MATCHALL "${utf16}" found "${image}")
list(LENGTH found count)
if(count LESS 2)
  message(FATAL_ERROR "${EXE}: the version strings do not both read '${text}'")
endif()
message(STATUS "${EXE}: version resource ${VERSION}")

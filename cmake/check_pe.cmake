# Run as a script (cmake -P): checks a Windows executable's hardening and imports.
# Inputs: OBJDUMP, EXE. Fails with a message naming what is missing.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND "${OBJDUMP}" -p "${EXE}" OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} could not read ${EXE}")
endif()

# Address space layout randomisation (64-bit, high entropy) and no execution from data.
foreach(flag DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT)
  if(NOT headers MATCHES "\n[ \t]+${flag}\n")
    message(FATAL_ERROR "${EXE}: ${flag} is not set")
  endif()
endforeach()
# Without relocations the loader cannot move the image, whatever DYNAMIC_BASE says.
execute_process(COMMAND "${OBJDUMP}" -h "${EXE}" OUTPUT_VARIABLE sections)
if(NOT sections MATCHES "\\.reloc")
  message(FATAL_ERROR "${EXE}: no .reloc section, so it cannot be relocated")
endif()

# Only DLLs that every Windows has; nothing that would be looked for beside the program.
set(system_dlls ADVAPI32.dll COMCTL32.dll KERNEL32.dll msvcrt.dll USER32.dll GDI32.dll ole32.dll)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
foreach(import IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${import}")
  if(NOT dll IN_LIST system_dlls)
    message(FATAL_ERROR "${EXE} imports ${dll}, which is not a system DLL")
  endif()
endforeach()
message(STATUS "${EXE}: hardened, imports only system DLLs")

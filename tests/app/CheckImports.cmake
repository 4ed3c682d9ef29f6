cmake_minimum_required(VERSION 3.25)
# Fails when a shipped program imports a DLL that Windows does not always take
# from its own folder: anything else is looked for beside the program first,
# where a planted copy would run with the utility's rights. Such DLLs are
# loaded from the system folder on first use; the rest is linked statically.
# comctl32 may stay: the manifest's common controls resolve it side by side.
# With NEED_FUNCTION, each program must also import that function (the DLL
# search narrowing every program does first). With NEED_LOOKUP, each must
# hold these names as text: functions looked up at run time, which no import
# shows (SetDefaultDllDirectories, so the stronger narrowing is compiled in).
#   cmake -DOBJDUMP=... -DREQUIRED="a.exe;..." [-DOPTIONAL="b.exe;..."] [-DALLOW="..."]
#         [-DNEED_FUNCTION=name] [-DNEED_LOOKUP=name,...] -P CheckImports.cmake
if(NOT ALLOW)
  set(ALLOW
      advapi32.dll comctl32.dll comdlg32.dll gdi32.dll imm32.dll kernel32.dll msvcrt.dll ntdll.dll
      ole32.dll oleaut32.dll psapi.dll rpcrt4.dll shell32.dll shlwapi.dll user32.dll ws2_32.dll)
endif()
string(TOLOWER "${ALLOW}" ALLOW)

set(files ${REQUIRED})
foreach(f ${REQUIRED})
  if(NOT EXISTS "${f}")
    message(FATAL_ERROR "${f} is missing")
  endif()
endforeach()
foreach(f ${OPTIONAL})
  if(EXISTS "${f}")
    list(APPEND files "${f}")
  endif()
endforeach()

set(bad)
foreach(f ${files})
  execute_process(COMMAND "${OBJDUMP}" -p "${f}" OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} could not read ${f}")
  endif()
  string(REGEX MATCHALL "DLL Name: [^\r\n]+" names "${dump}")
  if(NOT names)
    message(FATAL_ERROR "no imports found in ${f}")
  endif()
  get_filename_component(exe "${f}" NAME)
  if(NEED_FUNCTION AND NOT dump MATCHES "[ \t]${NEED_FUNCTION}[\r\n]")
    list(APPEND bad "${exe} does not import ${NEED_FUNCTION}")
  endif()
  string(REPLACE "," ";" lookups "${NEED_LOOKUP}")
  foreach(name ${lookups})
    file(STRINGS "${f}" found REGEX "${name}")
    if(NOT found)
      list(APPEND bad "${exe} does not look up ${name}")
    endif()
  endforeach()
  foreach(entry ${names})
    string(REGEX REPLACE "^DLL Name: " "" dll "${entry}")
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" lower)
    if(NOT lower IN_LIST ALLOW)
      list(APPEND bad "${exe} imports ${dll}, which Windows does not always load from its own folder")
    else()
      message(STATUS "${exe}: ${dll}")
    endif()
  endforeach()
endforeach()
if(bad)
  list(JOIN bad "\n" text)
  message(FATAL_ERROR "${text}")
endif()

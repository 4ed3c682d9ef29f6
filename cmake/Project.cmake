# Shared build settings and the helpers every folder uses.

# Our own targets build with strict warnings; third-party code does not.
function(stirpello_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow)
endfunction()

if(STIRPELLO_SANITIZE AND NOT STIRPELLO_WINDOWS)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
# The fuzz tree: every library gets coverage instrumentation, so that the
# fuzzer is guided inside them and not only in the target's own file.
if(STIRPELLO_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# GoogleTest: Debian's package natively, built from Debian's sources for Windows.
if(STIRPELLO_WINDOWS)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(STIRPELLO_GTEST gtest gmock)
  set(STIRPELLO_GTEST_MAIN gtest_main)
else()
  find_package(GTest REQUIRED)
  set(STIRPELLO_GTEST GTest::gtest GTest::gmock)
  set(STIRPELLO_GTEST_MAIN GTest::gtest_main)
endif()
include(GoogleTest)

# stirpello_test(NAME SOURCES ... [LIBS ...] [GUI] [NO_MAIN] [TIMEOUT s] [FIXTURE name])
# One GoogleTest program; each case becomes a ctest test. GUI tests share one
# lock because they find windows by title on the same Wine desktop. FIXTURE:
# every case needs that ctest fixture set up first.
function(stirpello_test name)
  cmake_parse_arguments(T "GUI;NO_MAIN" "TIMEOUT;FIXTURE" "SOURCES;LIBS;DEPENDS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  stirpello_warnings(${name})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(T_NO_MAIN)
    target_link_libraries(${name} PRIVATE ${T_LIBS} ${STIRPELLO_GTEST})
  else()
    target_link_libraries(${name} PRIVATE ${T_LIBS} ${STIRPELLO_GTEST} ${STIRPELLO_GTEST_MAIN})
  endif()
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  # A tree tested on a slower machine (the 32-bit lane's emulated guest)
  # gives each test more time before it counts as hung.
  if(STIRPELLO_TIMEOUT_SCALE GREATER 1)
    math(EXPR T_TIMEOUT "${T_TIMEOUT} * ${STIRPELLO_TIMEOUT_SCALE}")
  endif()
  set(props TIMEOUT ${T_TIMEOUT} ENVIRONMENT "STIRPELLO_SOURCE=${PROJECT_SOURCE_DIR}")
  if(T_GUI)
    list(APPEND props RESOURCE_LOCK wine_desktop)
  endif()
  if(T_FIXTURE)
    list(APPEND props FIXTURES_REQUIRED ${T_FIXTURE})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST NO_PRETTY_VALUES
                       DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

# All programs land in one folder so tests can find their fixtures.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# stirpello_library(NAME [LIBS ...]): a static library from the folder's .cpp
# files; *_win32.cpp only in the Windows tree, *_posix.cpp only natively.
function(stirpello_library name)
  cmake_parse_arguments(L "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "_(win32|posix)\\.cpp$")
  if(STIRPELLO_WINDOWS)
    file(GLOB platform CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_win32.cpp)
  else()
    file(GLOB platform CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_posix.cpp)
  endif()
  if(NOT sources AND NOT platform)
    # A folder whose code is still to come: keep its dependents linkable.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${L_LIBS})
    return()
  endif()
  add_library(${name} STATIC ${sources} ${platform})
  stirpello_warnings(${name})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${L_LIBS})
endfunction()

# stirpello_version_rc(OUT_VAR FILEVERSION a.b.c.d [PRODUCTVERSION a.b.c.d]
#                      [DESCRIPTION text]): writes a version-resource script
# and returns its path, for add_executable.
function(stirpello_version_rc out_var tag)
  cmake_parse_arguments(V "" "FILEVERSION;PRODUCTVERSION;DESCRIPTION;PRODUCT" "" ${ARGN})
  if(NOT V_PRODUCTVERSION)
    set(V_PRODUCTVERSION ${V_FILEVERSION})
  endif()
  if(NOT V_DESCRIPTION)
    set(V_DESCRIPTION "${tag}")
  endif()
  if(NOT V_PRODUCT)
    set(V_PRODUCT "Stirpello")
  endif()
  set(VI_COMPANY "corvanna Systems")
  set(VI_DESCRIPTION "${V_DESCRIPTION}")
  set(VI_PRODUCT "${V_PRODUCT}")
  set(VI_FILEVERSION_DOTTED ${V_FILEVERSION})
  set(VI_PRODUCTVERSION_DOTTED ${V_PRODUCTVERSION})
  string(REPLACE "." "," VI_FILEVERSION ${V_FILEVERSION})
  string(REPLACE "." "," VI_PRODUCTVERSION ${V_PRODUCTVERSION})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${tag}.version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/VersionInfo.rc.in ${rc} @ONLY)
  set(${out_var} ${rc} PARENT_SCOPE)
endfunction()

# stirpello_fixture_exe(TARGET [FILEVERSION a.b.c.d] [PRODUCTVERSION ...]
#   [SOURCES ...] [LIBS ...] [GUI]): a small test executable, optionally with
# a version resource; it lands in bin/ as TARGET.exe. Tests copy fixtures
# into scratch folders under the names they need.
function(stirpello_fixture_exe target)
  cmake_parse_arguments(F "GUI" "FILEVERSION;PRODUCTVERSION" "SOURCES;LIBS" ${ARGN})
  if(NOT F_SOURCES)
    set(F_SOURCES ${PROJECT_SOURCE_DIR}/tests/fixtures/stub_main.c)
  endif()
  set(rc)
  if(F_FILEVERSION)
    if(F_PRODUCTVERSION)
      stirpello_version_rc(rc ${target} FILEVERSION ${F_FILEVERSION} PRODUCTVERSION ${F_PRODUCTVERSION})
    else()
      stirpello_version_rc(rc ${target} FILEVERSION ${F_FILEVERSION})
    endif()
  endif()
  if(F_GUI)
    add_executable(${target} WIN32 ${F_SOURCES} ${rc})
  else()
    add_executable(${target} ${F_SOURCES} ${rc})
  endif()
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE ${F_LIBS})
endfunction()

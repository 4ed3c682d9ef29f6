# Drives the updcat program as its users do, in either tree (under Wine
# through EMULATOR). Run with -DUPDCAT= -DEMULATOR= -DDATA= -DWORK=.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(GLOB inputs ${DATA}/*)
file(COPY ${inputs} DESTINATION ${WORK})

set(failures 0)
# run(EXPECT_STATUS ARGS...): sets out and err (line ends normalised).
function(run status)
  execute_process(COMMAND ${EMULATOR} ${UPDCAT} ${ARGN} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE o ERROR_VARIABLE e)
  string(REPLACE "\r\n" "\n" o "${o}")
  string(REPLACE "\r\n" "\n" e "${e}")
  if(NOT rc EQUAL status)
    message(SEND_ERROR "updcat ${ARGN}: status ${rc}, expected ${status}\nstdout: ${o}\nstderr: ${e}")
  endif()
  set(out "${o}" PARENT_SCOPE)
  set(err "${e}" PARENT_SCOPE)
endfunction()

function(expect_equal what got want)
  if(NOT got STREQUAL want)
    message(SEND_ERROR "${what}:\n--- got ---\n${got}\n--- expected ---\n${want}")
  endif()
endfunction()

# select prints the kept records and the summary line.
run(0 build sample.cat sample.upd)
foreach(v 20304 20300)
  run(0 select sample.upd ${v})
  file(READ ${WORK}/sample-${v}.txt want)
  expect_equal("select ${v}" "${out}" "${want}")
endforeach()
run(0 build malformed.cat malformed.upd)
run(0 select malformed.upd 20304)
file(READ ${WORK}/malformed-20304.txt want)
expect_equal("select malformed" "${out}" "${want}")
run(0 select sample.upd 99999)
expect_equal("select beyond" "${out}" "latest 0, newest is major: no\n")

# dump prints the form that build reads back: the sample is its own dump,
# and a dump compiles to the very bytes it came from.
run(0 dump sample.upd)
file(READ ${WORK}/sample.cat want)
expect_equal("dump sample" "${out}" "${want}")
run(0 dump malformed.upd)
file(READ ${WORK}/malformed.dump want)
expect_equal("dump malformed" "${out}" "${want}")
file(WRITE ${WORK}/redump.cat "${out}")
run(0 build --plain malformed.dump first.plain)
run(0 build --plain redump.cat second.plain)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/first.plain ${WORK}/second.plain RESULT_VARIABLE same)
if(NOT same EQUAL 0)
  message(SEND_ERROR "build, dump, build changed the bytes")
endif()

# A failed load is one line on standard error and status 1.
run(0 build format200.cat format200.upd)
run(1 select format200.upd 20304)
expect_equal("format 200" "${err}" "updcat: You need a newer version of Stirpello for this function (TSU200\n")
expect_equal("format 200 stdout" "${out}" "")
run(1 dump format200.upd)
expect_equal("dump format 200" "${err}" "updcat: You need a newer version of Stirpello for this function (TSU200\n")
run(0 build trailing.cat trailing.upd)
run(1 select trailing.upd 1)
expect_equal("trailing" "${err}" "updcat: Invalid stream operation\n")
run(1 select sample.cat 20304)
expect_equal("not zlib" "${err}" "updcat: Error\n")
run(1 select missing.upd 20304)
expect_equal("missing file" "${err}" "updcat: cannot read missing.upd\n")

# A bad source names its line and leaves no file behind.
file(WRITE ${WORK}/bad.cat "header \"ok\"\nrecord\n  I01 twenty\nend\n")
run(1 build bad.cat bad.upd)
expect_equal("bad source" "${err}" "updcat: bad.cat: line 3: unknown value 'twenty'\n")
if(EXISTS ${WORK}/bad.upd OR EXISTS ${WORK}/bad.upd.tmp)
  message(SEND_ERROR "a failed build left a file")
endif()

# Misuse: a usage line and status 2.
foreach(args "" "select" "select sample.upd" "select sample.upd 2030x" "select sample.upd 99999999999"
             "dump" "build sample.cat" "build --zip sample.cat x.upd" "frobnicate x")
  separate_arguments(argv UNIX_COMMAND "${args}")
  run(2 ${argv})
  if(NOT err MATCHES "^usage: updcat build")
    message(SEND_ERROR "updcat ${args}: no usage line: ${err}")
  endif()
endforeach()

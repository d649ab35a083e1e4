# Installs the build in BUILD_DIR into a scratch DESTDIR, with the prefix
# /usr as a package would, and checks what lands where: everything, then the
# "hub" component alone (what the board gets). The scratch folder is removed
# whatever happens.
# In: BUILD_DIR, TOOLS (the tool targets built), HUB_CONFIG_FILE.

string(RANDOM LENGTH 8 suffix)
set(scratch "${BUILD_DIR}/install-check-${suffix}")
set(problems "")

function(install_into dest)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${dest}
                          ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr ${ARGN}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    set(problems "${problems}cmake --install ${ARGN} failed: ${out}\n" PARENT_SCOPE)
  endif()
endfunction()

function(expect_file path)
  if(NOT EXISTS "${path}")
    set(problems "${problems}missing: ${path}\n" PARENT_SCOPE)
  endif()
endfunction()

function(expect_no_file path)
  if(EXISTS "${path}")
    set(problems "${problems}should not be there: ${path}\n" PARENT_SCOPE)
  endif()
endfunction()

function(expect_executable path)
  execute_process(COMMAND test -x "${path}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    set(problems "${problems}not an executable file: ${path}\n" PARENT_SCOPE)
  endif()
endfunction()

# --- everything ---
set(all "${scratch}/all")
install_into("${all}")
expect_executable("${all}/usr/sbin/hub")
foreach(tool IN LISTS TOOLS)
  expect_executable("${all}/usr/bin/${tool}")
endforeach()
expect_file("${all}/usr/share/hub/wireshark/hub.lua")
expect_file("${all}/usr/share/hub/hub.conf.example")
set(unit "${all}/usr/lib/systemd/system/hub.service")
expect_file("${unit}")
if(EXISTS "${unit}")
  if(IS_ABSOLUTE "${HUB_CONFIG_FILE}")
    get_filename_component(workdir "${HUB_CONFIG_FILE}" DIRECTORY)
  else()
    set(workdir "/etc/hub")
  endif()
  file(READ "${unit}" text)
  foreach(line "Type=simple" "ExecStart=/usr/sbin/hub" "Restart=on-failure" "WorkingDirectory=${workdir}"
               "RequiresMountsFor=${workdir}")
    string(FIND "${text}" "\n${line}\n" at)
    if(at EQUAL -1)
      set(problems "${problems}${unit}: no line ${line}\n")
    endif()
  endforeach()
endif()

# --- the board's component ---
set(board "${scratch}/board")
install_into("${board}" --component hub)
expect_executable("${board}/usr/sbin/hub")
expect_file("${board}/usr/lib/systemd/system/hub.service")
expect_file("${board}/usr/share/hub/hub.conf.example")
expect_no_file("${board}/usr/share/hub/wireshark")
expect_no_file("${board}/usr/bin")

file(REMOVE_RECURSE "${scratch}")
if(problems)
  message(FATAL_ERROR "${problems}")
endif()
message(STATUS "installed into a scratch DESTDIR as expected")

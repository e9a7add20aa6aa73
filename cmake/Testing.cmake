# Test registration shared by both builds. Every GoogleTest program goes
# through cindral_gtest, so every ctest test has a time-out that fits it: a
# hang shows within seconds, and a slow test never runs near its limit.
#
#   cindral_gtest(<target> TIMEOUT <seconds>
#                 [SLOW <regex> <seconds> [<regex> <seconds> ...]]
#                 [HEAVY <regex> ...]
#                 [PROPERTIES <name> <value> ...])
#
# TIMEOUT covers the target's ordinary tests. SLOW gives the tests whose full
# names match a regex their own time-out. Size both at about three times the
# time ctest reports for the test in tools/test (two tests at once on two
# cores). A SLOW regex that matches no test stops ctest, so a renamed test
# cannot lose its time-out silently.
#
# HEAVY names tests that take too long with ASan and UBSan: a sanitized tree
# lists them as disabled, the plain native tree runs them.
#
# CINDRAL_TIMEOUT_SCALE multiplies every time-out: the tree sets it (the
# sanitized one), and so does ctest's environment: tools/test puts the load
# per processor there (tools/timeout-scale), or a caller sets it by hand.
#
# cindral_command_test(<name> TIMEOUT <seconds> COMMAND ...) adds a test that
# runs a command, with the same scaled time-out.

if(NOT DEFINED CINDRAL_TIMEOUT_SCALE)
  set(CINDRAL_TIMEOUT_SCALE 1)
endif()

# Appends to the variable named by out the ctest code that sets property to
# value on every test of target whose name matches pattern, and stops ctest
# when none does.
function(cindral_append_property_script out target pattern property value)
  string(APPEND ${out}
    "set(matched FALSE)\n"
    "foreach(test IN LISTS ${target}_TESTS)\n"
    "  if(test MATCHES [==[^(${pattern})$]==])\n"
    "    set_tests_properties(\"\${test}\" PROPERTIES ${property} ${value})\n"
    "    set(matched TRUE)\n"
    "  endif()\n"
    "endforeach()\n"
    "if(NOT matched)\n"
    "  message(FATAL_ERROR [==[${target}: no test matches ${pattern}]==])\n"
    "endif()\n")
  set(${out} "${${out}}" PARENT_SCOPE)
endfunction()

# Sets the variable named by out to the ctest code that computes scale.
function(cindral_timeout_scale_script out)
  string(CONCAT script
    "set(scale ${CINDRAL_TIMEOUT_SCALE})\n"
    "if(\"\$ENV{CINDRAL_TIMEOUT_SCALE}\" MATCHES \"^[1-9][0-9]*$\")\n"
    "  math(EXPR scale \"\${scale} * \$ENV{CINDRAL_TIMEOUT_SCALE}\")\n"
    "endif()\n")
  set(${out} "${script}" PARENT_SCOPE)
endfunction()

# A test that runs a command, with a time-out scaled like those of
# cindral_gtest:
#   cindral_command_test(<name> TIMEOUT <seconds> COMMAND <command> <arg>...
#                        [PROPERTIES <name> <value> ...])
# ctest reads include files before the tests of the directory, so the test is
# added by its include file, where the scale is known.
function(cindral_command_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TIMEOUT" "COMMAND;PROPERTIES")
  if(NOT arg_TIMEOUT MATCHES "^[0-9]+$" OR NOT arg_COMMAND)
    message(FATAL_ERROR "cindral_command_test(${name}): TIMEOUT <seconds> and COMMAND are required")
  endif()
  cindral_timeout_scale_script(script)
  set(command "")
  foreach(word IN LISTS arg_COMMAND)
    string(APPEND command " [==[${word}]==]")
  endforeach()
  set(properties "")
  foreach(word IN LISTS arg_PROPERTIES)
    string(APPEND properties " [==[${word}]==]")
  endforeach()
  string(APPEND script
    "add_test([==[${name}]==]${command})\n"
    "math(EXPR timeout \"${arg_TIMEOUT} * \${scale}\")\n"
    "set_tests_properties([==[${name}]==] PROPERTIES TIMEOUT \${timeout}${properties})\n")
  set(file ${CMAKE_CURRENT_BINARY_DIR}/${name}_test.cmake)
  file(WRITE ${file} "${script}")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
endfunction()

function(cindral_gtest target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TIMEOUT;DISCOVERY_TIMEOUT" "SLOW;HEAVY;PROPERTIES")
  if(NOT arg_TIMEOUT MATCHES "^[0-9]+$")
    message(FATAL_ERROR "cindral_gtest(${target}): TIMEOUT <seconds> is required")
  endif()
  if(NOT arg_DISCOVERY_TIMEOUT)
    set(arg_DISCOVERY_TIMEOUT 5)
  endif()
  # NO_PRETTY_VALUES keeps test names free of parameter dumps (which may hold
  # addresses), so a name is the same at every run.
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST NO_PRETTY_VALUES
    DISCOVERY_TIMEOUT ${arg_DISCOVERY_TIMEOUT}
    PROPERTIES ${arg_PROPERTIES})

  # Discovery runs when ctest starts and lists the names in <target>_TESTS;
  # this script, included after it, sets the time-outs (scaled by the tree
  # and by CINDRAL_TIMEOUT_SCALE from ctest's environment) and disables the
  # heavy tests of a sanitized tree.
  cindral_timeout_scale_script(script)
  string(APPEND script
    "math(EXPR timeout \"${arg_TIMEOUT} * \${scale}\")\n"
    "foreach(test IN LISTS ${target}_TESTS)\n"
    "  set_tests_properties(\"\${test}\" PROPERTIES TIMEOUT \${timeout})\n"
    "endforeach()\n")
  set(slow ${arg_SLOW})
  while(slow)
    list(POP_FRONT slow pattern seconds)
    if(NOT seconds MATCHES "^[0-9]+$")
      message(FATAL_ERROR "cindral_gtest(${target}): SLOW takes <regex> <seconds> pairs")
    endif()
    string(APPEND script "math(EXPR timeout \"${seconds} * \${scale}\")\n")
    cindral_append_property_script(script ${target} "${pattern}" TIMEOUT "\${timeout}")
  endwhile()
  if(CINDRAL_SANITIZE)
    foreach(pattern IN LISTS arg_HEAVY)
      cindral_append_property_script(script ${target} "${pattern}" DISABLED TRUE)
    endforeach()
  endif()
  set(file ${CMAKE_CURRENT_BINARY_DIR}/${target}_properties.cmake)
  file(WRITE ${file} "${script}")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
endfunction()

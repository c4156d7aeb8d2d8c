# libratbag's development daemon ratbagd.devel, built from the release tarballs for the suites
# and benchmarks that run kelv against the real daemon (scripts/ratbagd-devel.sh): release
# 0.17 (D-Bus API 1, Debian 12 and 13) and release 0.18 (API 2, Ubuntu 25.10 and 26.04,
# Fedora, Arch, Alpine). Each build is kept under build/third_party/ of the source folder, so
# the normal, sanitizer and thread sanitizer builds share one copy, made once per checkout.
#
# Sets KELV_RATBAGD_DEVEL (the 0.17 daemon, or empty), KELV_RATBAGD_SKIP (why there is none),
# KELV_RATBAGD_ENV (the suites' environment for 0.17) and KELV_RATBAGD_ENV_018 (for 0.18;
# empty without that tarball). The target ratbagd_devel builds both.
set(KELV_THIRD_PARTY_DIR "" CACHE PATH "Folder holding libratbag-0.17.tar.gz and libratbag-0.18.tar.gz")
find_program(KELV_MESON meson)
find_program(KELV_SWIG swig)

# kelv_ratbagd_release(<version> <api>): finds libratbag-<version>.tar.gz and adds its build.
# Sets KELV_RATBAGD_DEVEL_<v>, KELV_RATBAGD_SKIP_<v> and KELV_RATBAGD_ENV_<v> (v: 017, 018).
function(kelv_ratbagd_release version api)
  string(REPLACE "." "" v ${version})
  find_file(KELV_RATBAG_TARBALL_${v} libratbag-${version}.tar.gz
    PATHS ${KELV_THIRD_PARTY_DIR} ${CMAKE_SOURCE_DIR}/../shared/third_party
          ${CMAKE_SOURCE_DIR}/../../shared/third_party
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  set(devel "")
  set(data "")
  set(skip "")
  if(NOT KELV_RATBAG_TARBALL_${v})
    set(skip "libratbag-${version}.tar.gz not found (../shared/third_party or KELV_THIRD_PARTY_DIR)")
  elseif(NOT KELV_MESON OR NOT KELV_SWIG)
    set(skip "meson or swig missing: run scripts/setup.sh to build ratbagd.devel")
  else()
    set(folder ${CMAKE_SOURCE_DIR}/build/third_party/libratbag-${version})
    set(devel ${folder}/build/ratbagd.devel)
    set(data ${folder}/src/data/devices)
    add_custom_command(OUTPUT ${devel}
      COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/ratbagd-devel.sh ${KELV_RATBAG_TARBALL_${v}} ${folder}
      DEPENDS ${KELV_RATBAG_TARBALL_${v}} ${CMAKE_SOURCE_DIR}/scripts/ratbagd-devel.sh
      COMMENT "Building libratbag ${version}'s ratbagd.devel (once)"
      USES_TERMINAL)
    set_property(GLOBAL APPEND PROPERTY KELV_RATBAGD_OUTPUTS ${devel})
  endif()
  set(KELV_RATBAGD_DEVEL_${v} "${devel}" PARENT_SCOPE)
  set(KELV_RATBAGD_SKIP_${v} "${skip}" PARENT_SCOPE)
  # What the suites that run the daemon get in their environment
  # (tests/testsupport/ratbag_daemon, tests/view/ratbagd.mjs).
  set(KELV_RATBAGD_ENV_${v} "KELV_RATBAGD_DEVEL=${devel}" "KELV_RATBAGD_DATA=${data}"
    "KELV_RATBAGD_SKIP=${skip}" "KELV_RATBAGD_API=${api}" "KELV_RATBAGD_RELEASE=${version}"
    PARENT_SCOPE)
endfunction()

kelv_ratbagd_release(0.17 1)
kelv_ratbagd_release(0.18 2)
set(KELV_RATBAGD_DEVEL ${KELV_RATBAGD_DEVEL_017})
set(KELV_RATBAGD_SKIP ${KELV_RATBAGD_SKIP_017})
set(KELV_RATBAGD_ENV ${KELV_RATBAGD_ENV_017})
set(KELV_RATBAGD_DATA ${CMAKE_SOURCE_DIR}/build/third_party/libratbag-0.17/src/data/devices)
get_property(outputs GLOBAL PROPERTY KELV_RATBAGD_OUTPUTS)
if(outputs)
  add_custom_target(ratbagd_devel DEPENDS ${outputs})
endif()

# kelv_ratbagd_again(<test> COMMAND <command...> [WORKING_DIRECTORY <folder>]): registers a
# suite that ran against ratbagd 0.17 once more against 0.18, as <test>_018, with the same
# environment but the 0.18 daemon's. Nothing when the test or the 0.18 build is not there.
function(kelv_ratbagd_again name)
  cmake_parse_arguments(ARG "" "WORKING_DIRECTORY" "COMMAND" ${ARGN})
  if(NOT TEST ${name} OR NOT KELV_RATBAGD_DEVEL_018)
    return()
  endif()
  get_test_property(${name} ENVIRONMENT environment)
  get_test_property(${name} TIMEOUT timeout)
  get_test_property(${name} LABELS labels)
  list(FILTER environment EXCLUDE REGEX "^KELV_RATBAGD_")
  list(APPEND environment ${KELV_RATBAGD_ENV_018})
  if(ARG_WORKING_DIRECTORY)
    add_test(NAME ${name}_018 COMMAND ${ARG_COMMAND} WORKING_DIRECTORY ${ARG_WORKING_DIRECTORY})
  else()
    add_test(NAME ${name}_018 COMMAND ${ARG_COMMAND})
  endif()
  set_tests_properties(${name}_018 PROPERTIES ENVIRONMENT "${environment}" TIMEOUT ${timeout})
  if(labels)
    set_tests_properties(${name}_018 PROPERTIES LABELS "${labels}")
  endif()
endfunction()

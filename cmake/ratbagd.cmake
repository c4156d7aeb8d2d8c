# libratbag's development daemon ratbagd.devel, built from the release tarball for the suites
# and benchmarks that run kelv against the real daemon (scripts/ratbagd-devel.sh). The build
# is kept under build/third_party/ of the source folder, so the normal, sanitizer and thread
# sanitizer builds share one copy and it is made once per fresh checkout.
#
# Sets KELV_RATBAGD_DEVEL (the daemon, or empty), KELV_RATBAGD_SKIP (why there is none) and
# KELV_RATBAGD_ENV (the suites' environment).
set(KELV_THIRD_PARTY_DIR "" CACHE PATH "Folder holding libratbag-0.17.tar.gz")
find_file(KELV_RATBAG_TARBALL libratbag-0.17.tar.gz
  PATHS ${KELV_THIRD_PARTY_DIR} ${CMAKE_SOURCE_DIR}/../shared/third_party
        ${CMAKE_SOURCE_DIR}/../../shared/third_party
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
find_program(KELV_MESON meson)
find_program(KELV_SWIG swig)
set(KELV_RATBAGD_DEVEL "")
set(KELV_RATBAGD_SKIP "")
if(NOT KELV_RATBAG_TARBALL)
  set(KELV_RATBAGD_SKIP "libratbag-0.17.tar.gz not found (../shared/third_party or KELV_THIRD_PARTY_DIR)")
elseif(NOT KELV_MESON OR NOT KELV_SWIG)
  set(KELV_RATBAGD_SKIP "meson or swig missing: run scripts/setup.sh to build ratbagd.devel")
else()
  set(folder ${CMAKE_SOURCE_DIR}/build/third_party/libratbag-0.17)
  set(KELV_RATBAGD_DEVEL ${folder}/build/ratbagd.devel)
  add_custom_command(OUTPUT ${KELV_RATBAGD_DEVEL}
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/ratbagd-devel.sh ${KELV_RATBAG_TARBALL} ${folder}
    DEPENDS ${KELV_RATBAG_TARBALL} ${CMAKE_SOURCE_DIR}/scripts/ratbagd-devel.sh
    COMMENT "Building libratbag's ratbagd.devel (once)"
    USES_TERMINAL)
  add_custom_target(ratbagd_devel DEPENDS ${KELV_RATBAGD_DEVEL})
  set(KELV_RATBAGD_DATA ${folder}/src/data/devices)
endif()

# What the suites that run the daemon get in their environment (tests/testsupport/ratbag_daemon).
set(KELV_RATBAGD_ENV "KELV_RATBAGD_DEVEL=${KELV_RATBAGD_DEVEL}" "KELV_RATBAGD_DATA=${KELV_RATBAGD_DATA}"
  "KELV_RATBAGD_SKIP=${KELV_RATBAGD_SKIP}")

# OpenRazer's daemon from Debian's openrazer-daemon package, unpacked for the suites and
# benchmarks that run kelv against the real daemon (scripts/openrazer-daemon.sh). Kept under
# build/third_party/ of the source folder, so every build folder shares one copy, fetched
# once per fresh checkout.
#
# Sets KELV_OPENRAZER_ENV (the suites' environment: where the daemon's modules are, or why
# there are none).
find_program(KELV_APT_GET apt-get)
find_program(KELV_DPKG_DEB dpkg-deb)
set(folder ${CMAKE_SOURCE_DIR}/build/third_party/openrazer-daemon)
set(KELV_OPENRAZER_SKIP "")
if(NOT KELV_APT_GET OR NOT KELV_DPKG_DEB)
  set(KELV_OPENRAZER_SKIP "apt-get and dpkg-deb are needed to fetch openrazer-daemon")
else()
  set(module ${folder}/usr/lib/python3/dist-packages/openrazer_daemon/daemon.py)
  add_custom_target(openrazer_daemon
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/openrazer-daemon.sh ${folder}
    BYPRODUCTS ${module}
    COMMENT "Fetching Debian's openrazer-daemon (once)"
    USES_TERMINAL)
endif()
set(KELV_OPENRAZER_ENV "KELV_OPENRAZER_DIR=${folder}" "KELV_OPENRAZER_SKIP=${KELV_OPENRAZER_SKIP}"
  "KELV_RAZER_RUNNER=${CMAKE_SOURCE_DIR}/tests/testsupport/razer_daemon_run.py")

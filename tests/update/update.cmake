# Update transport: HTTP worker, package format and reader, downloader,
# installers, update check. Packages are built by the packer (kelvpack).
kelv_test(tst_package SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_package.cpp
  LIBS kelv_update)
add_dependencies(tst_package kelvpack)

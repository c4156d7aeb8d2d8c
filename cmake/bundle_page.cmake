# Bundles the page's modules in the program folder into one file, js/app.bundle.js, and
# makes the program folder's index.html load it: one file read and compiled instead of
# some thirty modules fetched one level of imports after the other (about 40 ms of the
# program's and 25 ms of the page's processor time at each start). index.html falls back
# to the modules when the bundle is missing (a page package that replaced modules
# without bringing a bundle of its own has it removed, update/installers.cpp), so the
# page also runs unbundled, as it does from the source folder.
# The bundle is a classic deferred script in strict mode, not a module: the engine
# compiles a classic script on a background thread while it is read, a module script on
# the page's thread after it was read (about 5 ms of the start). Blanks and comments are
# left out and constant expressions folded (some 100 kB less to read); names are kept,
# so errors in the log still name the page's functions.
# Usage: cmake -DESBUILD=<esbuild> -DVIEW=<program dir>/view -P bundle_page.cmake
set(entry ${VIEW}/js/app.js)
set(bundle ${VIEW}/js/app.bundle.js)
set(index ${VIEW}/index.html)

file(GLOB_RECURSE modules ${VIEW}/js/*.js)
list(REMOVE_ITEM modules ${bundle})
set(stale FALSE)
# A bundle made before this script changed may be of another form.
if(NOT EXISTS ${bundle} OR ${CMAKE_CURRENT_LIST_FILE} IS_NEWER_THAN ${bundle})
  set(stale TRUE)
else()
  foreach(module ${modules})
    if(${module} IS_NEWER_THAN ${bundle})
      set(stale TRUE)
    endif()
  endforeach()
endif()
if(stale)
  # Run in the page's folder, so the bundle names its modules as js/....
  # The language tables other than English stay files of their own, loaded by the
  # import() calls of js/i18n.js, which the bundle keeps as they are written.
  execute_process(COMMAND ${ESBUILD} js/app.js --bundle --format=iife "--banner:js=\"use strict\";"
                          --external:./i18n/zh.js --external:./i18n/zh-TW.js
                          --external:./i18n/de.js --external:./i18n/ja.js
                          --external:./i18n/ru.js --external:./i18n/ko.js
                          --minify-whitespace --minify-syntax --log-level=warning
                          --outfile=js/app.bundle.js
                  WORKING_DIRECTORY ${VIEW}
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    file(REMOVE ${bundle})
    message(FATAL_ERROR "esbuild could not bundle ${entry}")
  endif()
endif()

# The modules' entry point becomes the bundle, with the modules as the fallback (an
# index.html of an earlier build loads the bundle as a module: it gets the new form).
set(modular [[<script type="module" src="js/app.js"></script>]])
set(earlier [[<script type="module" src="js/app.bundle.js" onerror="import('./js/app.js')"></script>]])
set(bundled [[<script defer src="js/app.bundle.js" onerror="import('./js/app.js')"></script>]])
file(READ ${index} page)
string(FIND "${page}" "${bundled}" done)
if(done EQUAL -1)
  string(REPLACE "${modular}" "${bundled}" page "${page}")
  string(REPLACE "${earlier}" "${bundled}" page "${page}")
  string(FIND "${page}" "${bundled}" done)
  if(done EQUAL -1)
    message(WARNING "${index} loads neither js/app.js nor the bundle as expected: left as it is")
  else()
    file(WRITE ${index} "${page}")
  endif()
endif()

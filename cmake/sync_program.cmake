# Copies the page and the default profiles into the program folder.
# The settings file and the page's mode document are user data once the program
# has run: an existing copy in the program folder is kept, so rebuilding never
# throws away a user's settings. The factory profile
# (Resources/profiles/configuration.xml) is always refreshed.
# Usage: cmake -DSRC=<source dir> -DDST=<program dir> -P sync_program.cmake
function(sync_tree from to keep_regex)
  file(GLOB_RECURSE files RELATIVE ${from} ${from}/*)
  foreach(rel ${files})
    if(rel MATCHES "(^|/)node_modules/" OR rel MATCHES "(^|/)tests?/" OR rel MATCHES "\\.test\\.m?js$"
       OR rel STREQUAL "package.json" OR rel STREQUAL "package-lock.json")
      continue()
    endif()
    set(target ${to}/${rel})
    if(keep_regex AND rel MATCHES "${keep_regex}" AND EXISTS ${target})
      continue()
    endif()
    if(NOT EXISTS ${target} OR ${from}/${rel} IS_NEWER_THAN ${target})
      get_filename_component(dir ${target} DIRECTORY)
      file(MAKE_DIRECTORY ${dir})
      file(COPY_FILE ${from}/${rel} ${target} ONLY_IF_DIFFERENT)
    endif()
  endforeach()
endfunction()

sync_tree(${SRC}/view ${DST}/view "^xml/.*\\.xml$")
sync_tree(${SRC}/resources/profiles ${DST}/Resources/profiles "^conf\\.xml$")

# Puts the page's style sheet, css/main.css, into the program folder's index.html: a
# sheet in a file of its own is one more read through the engine's file loader before
# the page can be laid out (about 5 ms of every start). The inlined copy is marked with
# the file it came from, so a later build refreshes it from the file, and a page package
# that brings a new css/main.css without an index.html of its own puts the link back
# (update/installers.cpp). The page in the source folder keeps the link.
# Usage: cmake -DVIEW=<program dir>/view -P inline_page_style.cmake
set(index ${VIEW}/index.html)
set(sheet ${VIEW}/css/main.css)
set(link [[<link rel="stylesheet" href="css/main.css">]])
set(open [[<style data-file="css/main.css">]])
set(close [[</style>]])

if(NOT EXISTS ${index} OR NOT EXISTS ${sheet})
  return()
endif()
file(READ ${index} page)
file(READ ${sheet} css)
string(FIND "${css}" "</style" closing)
if(NOT closing EQUAL -1)
  message(WARNING "${sheet} holds a closing style tag: index.html keeps its link")
  return()
endif()

string(FIND "${page}" "${open}" start)
if(start EQUAL -1)
  string(FIND "${page}" "${link}" start)
  if(start EQUAL -1)
    message(WARNING "${index} links no css/main.css: left as it is")
    return()
  endif()
  string(LENGTH "${link}" length)
else()
  # An earlier build's copy: from its opening tag to the first closing tag after it.
  string(SUBSTRING "${page}" ${start} -1 rest)
  string(FIND "${rest}" "${close}" end)
  if(end EQUAL -1)
    message(WARNING "${index} has an unclosed inlined style sheet: left as it is")
    return()
  endif()
  string(LENGTH "${close}" closeLength)
  math(EXPR length "${end} + ${closeLength}")
endif()

string(SUBSTRING "${page}" 0 ${start} before)
math(EXPR after "${start} + ${length}")
string(SUBSTRING "${page}" ${after} -1 behind)
set(inlined "${before}${open}\n${css}${close}${behind}")
if(NOT inlined STREQUAL page)
  file(WRITE ${index} "${inlined}")
endif()

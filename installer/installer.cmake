# quillon_add_installer(NAME OUTPUT file LAYOUT folder VERSION text [DEPENDS ...] [DEFINES ...])
#
# A custom target NAME that builds the installer OUTPUT from the install layout LAYOUT with
# makensis (Debian's nsis package). DEPENDS: targets and files the layout is made from; the
# installer is rebuilt when one of the executables, libraries or files changes (a custom target
# there only orders the build). DEFINES: extra NAME=VALUE for the script.
include_guard(GLOBAL)
find_program(QUILLON_MAKENSIS makensis DOC "NSIS compiler (Debian package nsis)")
set(QUILLON_INSTALLER_DIR ${CMAKE_CURRENT_LIST_DIR} CACHE INTERNAL "The installer's sources")

# The installer finds the program's window by its class, which the window's header defines.
file(STRINGS ${PROJECT_SOURCE_DIR}/src/window/win32_window.h quillon_class_line
     REGEX "kWindowClassName = L\"[^\"]+\"")
string(REGEX REPLACE ".*L\"([^\"]+)\".*" "\\1" quillon_window_class "${quillon_class_line}")
set(QUILLON_WINDOW_CLASS "${quillon_window_class}" CACHE INTERNAL "The program's window class")
if(QUILLON_WINDOW_CLASS STREQUAL "")
  message(FATAL_ERROR "kWindowClassName not found in src/window/win32_window.h")
endif()

function(quillon_add_installer name)
  cmake_parse_arguments(arg "" "OUTPUT;LAYOUT;VERSION" "DEPENDS;DEFINES" ${ARGN})
  set(makensis "${QUILLON_MAKENSIS}")
  if(NOT makensis)
    set(makensis makensis-not-found)
  endif()
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}-work)
  set(defines "WINDOW_CLASS=${QUILLON_WINDOW_CLASS}" ${arg_DEFINES})
  # One argument through the command line: the definitions joined by "|".
  list(JOIN defines "|" defines)
  add_custom_command(
    OUTPUT ${arg_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -DMAKENSIS=${makensis}
            -DSCRIPT=${QUILLON_INSTALLER_DIR}/quillon.nsi -DLAYOUT=${arg_LAYOUT} -DWORK=${work}
            -DOUTPUT=${arg_OUTPUT} -DVERSION=${arg_VERSION}
            -DICON=${PROJECT_SOURCE_DIR}/resources/app_icon.ico "-DDEFINES=${defines}"
            -P ${QUILLON_INSTALLER_DIR}/make_installer.cmake
    DEPENDS ${arg_DEPENDS} ${QUILLON_INSTALLER_DIR}/quillon.nsi
            ${QUILLON_INSTALLER_DIR}/make_installer.cmake ${PROJECT_SOURCE_DIR}/resources/app_icon.ico
    COMMENT "Building ${arg_OUTPUT}"
    VERBATIM)
  add_custom_target(${name} DEPENDS ${arg_OUTPUT})
endfunction()

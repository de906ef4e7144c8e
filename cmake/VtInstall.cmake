# cmake --install: the program directory (the program, its converter, tools and web/ folder)
# goes to the prefix itself, by default /opt/VantorHomeCamera; a desktop entry is written for
# the application menu. The program keeps its log and settings in its own directory, so the
# user who runs it must be able to write there: a prefix in the user's own folder, e.g.
#   cmake --install build --prefix ~/.local/opt/VantorHomeCamera
# puts the entry into ~/.local/share/applications; any other prefix into
# /usr/local/share/applications, unless VT_DESKTOP_DIR names a folder.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /opt/VantorHomeCamera CACHE PATH "Install prefix: the program directory" FORCE)
endif()
set(VT_DESKTOP_DIR "" CACHE PATH "Where the desktop entry goes (empty: chosen from the prefix at install time)")

foreach(target VantorHomeCamera vt_converter_program stackresolve)
  if(TARGET ${target})
    install(TARGETS ${target} RUNTIME DESTINATION .)
  endif()
endforeach()
install(DIRECTORY ${VT_BIN_DIR}/web/ DESTINATION web)
install(FILES ${CMAKE_SOURCE_DIR}/web/icon.png DESTINATION . RENAME VantorHomeCamera.png)

install(CODE "
  set(VT_PROGRAM_DIR \"\${CMAKE_INSTALL_PREFIX}\")
  file(CREATE_LINK /usr/bin/upnpc \"\$ENV{DESTDIR}\${VT_PROGRAM_DIR}/upnpc-shared\" SYMBOLIC)
  set(desktop_dir \"${VT_DESKTOP_DIR}\")
  if(NOT desktop_dir)
    file(REAL_PATH \"\$ENV{HOME}\" home)
    string(FIND \"\${VT_PROGRAM_DIR}/\" \"\${home}/\" at)
    if(NOT \"\$ENV{HOME}\" STREQUAL \"\" AND NOT \"\${home}\" STREQUAL \"/\" AND at EQUAL 0)
      set(desktop_dir \"\${home}/.local/share/applications\")
    else()
      set(desktop_dir /usr/local/share/applications)
    endif()
  endif()
  message(STATUS \"Installing: \$ENV{DESTDIR}\${desktop_dir}/VantorHomeCamera.desktop\")
  configure_file(\"${CMAKE_SOURCE_DIR}/cmake/VantorHomeCamera.desktop.in\"
                 \"\$ENV{DESTDIR}\${desktop_dir}/VantorHomeCamera.desktop\" @ONLY)
")

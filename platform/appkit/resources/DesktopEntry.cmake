# Writes the desktop entry that puts the installed application in the desktop's menu. Its
# StartupWMClass is the bundle name, which the application gives Qt as its name and so its window
# class; the entry's file name is the bundle identifier, which is also the desktop file name the
# application announces, so the desktop groups the windows with the entry.

# `path` as one argument of an entry's Exec key: a plain path as it is, any other quoted, with
# the characters special inside the quotes escaped and then, as the key's string value requires,
# every backslash doubled; "%" is doubled for the field codes.
function(qm_desktop_exec_argument out path)
  if(path MATCHES "^[A-Za-z0-9_./+-]+$")
    set(${out} "${path}" PARENT_SCOPE)
    return()
  endif()
  string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" quoted "${path}")
  string(REPLACE "\\" "\\\\" quoted "${quoted}")
  string(REPLACE "%" "%%" quoted "${quoted}")
  set(${out} "\"${quoted}\"" PARENT_SCOPE)
endfunction()

# Writes the entry for an executable installed as `executable` (its full installed path).
function(qm_write_desktop_entry destination executable)
  qm_desktop_exec_argument(QM_DESKTOP_EXEC "${executable}")
  configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/DesktopEntry.desktop.in" "${destination}" @ONLY)
endfunction()

# Installs the entry of the quillmere executable into share/applications. The entry names the
# executable by its full path, and `cmake --install --prefix` may choose another prefix than the
# build was configured with, so the entry is written when it is installed.
function(qm_install_desktop_entry)
  set(entry "${CMAKE_BINARY_DIR}/${QM_BUNDLE_IDENTIFIER}.desktop")
  install(CODE "
    set(QM_BUNDLE_NAME [[${QM_BUNDLE_NAME}]])
    set(QM_BUNDLE_IDENTIFIER [[${QM_BUNDLE_IDENTIFIER}]])
    include([[${CMAKE_CURRENT_FUNCTION_LIST_FILE}]])
    set(bindir [[${CMAKE_INSTALL_BINDIR}]])
    if(NOT IS_ABSOLUTE \"\${bindir}\")
      set(bindir \"\${CMAKE_INSTALL_PREFIX}/\${bindir}\")
    endif()
    qm_write_desktop_entry([[${entry}]] \"\${bindir}/quillmere\")
  ")
  install(FILES "${entry}" DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
endfunction()

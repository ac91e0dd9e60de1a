# What the Windows programs need beside them in bin/: Qt's libraries and the plugins they
# load (windows and offscreen platforms, ODBC, the Vista style, JPEG for the backgrounds),
# the other libraries of the SDK, zlib and mingw's runtime. Tests run from bin/'s DLLs too.
set(qt_prefix ${QT6_INSTALL_PREFIX})
set(runtime_dlls)
foreach(lib Core Gui Widgets Sql Test)
  list(APPEND runtime_dlls ${qt_prefix}/bin/Qt6${lib}.dll)
endforeach()
foreach(lib libcrypto-3-x64 libssl-3-x64 liblzma-5 libdeflate libdivsufsort)
  find_file(dll_${lib} ${lib}.dll PATHS ${CMAKE_PREFIX_PATH} PATH_SUFFIXES bin REQUIRED NO_DEFAULT_PATH)
  list(APPEND runtime_dlls ${dll_${lib}})
endforeach()
find_file(dll_zlib zlib1.dll PATHS /usr/x86_64-w64-mingw32 PATH_SUFFIXES lib bin REQUIRED NO_DEFAULT_PATH)
list(APPEND runtime_dlls ${dll_zlib})
foreach(lib libstdc++-6 libgcc_s_seh-1 libwinpthread-1)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${lib}.dll OUTPUT_VARIABLE found
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT EXISTS "${found}")
    message(FATAL_ERROR "${lib}.dll of mingw-w64 not found")
  endif()
  get_filename_component(found "${found}" REALPATH)
  list(APPEND runtime_dlls ${found})
endforeach()

set(bin ${PROJECT_BINARY_DIR}/bin)
set(copy_commands COMMAND ${CMAKE_COMMAND} -E make_directory ${bin})
list(APPEND copy_commands COMMAND ${CMAKE_COMMAND} -E copy_if_different ${runtime_dlls} ${bin})
foreach(plugin platforms/qwindows platforms/qoffscreen sqldrivers/qsqlodbc styles/qwindowsvistastyle
               imageformats/qjpeg)
  get_filename_component(folder ${plugin} DIRECTORY)
  list(APPEND copy_commands COMMAND ${CMAKE_COMMAND} -E make_directory ${bin}/${folder}
       COMMAND ${CMAKE_COMMAND} -E copy_if_different ${qt_prefix}/plugins/${plugin}.dll ${bin}/${folder})
endforeach()
add_custom_target(windows-runtime ALL ${copy_commands} COMMENT "The libraries and plugins beside the programs")

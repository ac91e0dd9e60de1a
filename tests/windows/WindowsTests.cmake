# The portable tests, built for Windows and run by CTest under Wine (wine-run.sh, the
# emulator). Those that need the stand-in server or the publisher run the host's Linux
# ones, from a Linux build's bin folder, through host-run.exe.
set(VESK_HOST_TOOLS "" CACHE PATH "A Linux build's bin folder: the stand-in server and the publisher the Wine tests use")

set(host_tools_ok FALSE)
if(EXISTS "${VESK_HOST_TOOLS}/vesk-dbserver" AND EXISTS "${VESK_HOST_TOOLS}/vesk-publish")
  set(host_tools_ok TRUE)
  foreach(tool vesk-dbserver vesk-publish)
    add_executable(host-${tool} windows/host-run.cpp)
    target_compile_definitions(host-${tool} PRIVATE HOST_TOOL="${VESK_HOST_TOOLS}/${tool}"
                               HOST_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/windows/host-tool.sh" UNICODE _UNICODE)
    target_link_options(host-${tool} PRIVATE -municode -static)
  endforeach()
  # What a Windows program is given as a path: Wine's Z: drive is the host's root.
  target_compile_definitions(vesktestsupport PUBLIC VESK_DBSERVER="Z:$<TARGET_FILE:host-vesk-dbserver>")
  add_dependencies(vesktestsupport host-vesk-dbserver)
  set(host_publish "Z:$<TARGET_FILE:host-vesk-publish>")
else()
  message(WARNING "VESK_HOST_TOOLS names no Linux build's bin folder: the Wine tests that need the stand-in server are not built")
  target_compile_definitions(vesktestsupport PUBLIC VESK_DBSERVER="")
endif()

vesk_test(tst_versionfile SOURCES upgrade/tst_versionfile.cpp LIBS veskupgradebase)
vesk_test(tst_decompress SOURCES upgrade/tst_decompress.cpp ${PROJECT_SOURCE_DIR}/tools/publish/ChunkEncoder.cpp
          LIBS veskupgradebase ${LIBDEFLATE_LIBRARY})
target_include_directories(tst_decompress PRIVATE ${PROJECT_SOURCE_DIR}/tools ${LIBDEFLATE_INCLUDE})
vesk_test(tst_patch SOURCES upgrade/tst_patch.cpp ${PROJECT_SOURCE_DIR}/tools/publish/PatchMaker.cpp
          LIBS veskpatch ${DIVSUFSORT_LIBRARY})
target_include_directories(tst_patch PRIVATE ${DIVSUFSORT_INCLUDE})
vesk_test(tst_settings SOURCES app/tst_settings.cpp LIBS veskapp)
if(host_tools_ok)
  vesk_test(tst_loginform SOURCES app/tst_loginform.cpp support/RecordingDialogs.h LIBS veskapp)
  # Qt's offscreen platform has no fonts on Windows: the window's texts are measured on
  # Windows' own platform, in the display wine-run.sh gives the test.
  set_tests_properties(tst_loginform PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=windows")
  foreach(t tst_reassembly tst_patchroad)
    vesk_test(${t} SOURCES upgrade/${t}.cpp LIBS veskupgrade)
    target_compile_definitions(${t} PRIVATE VESK_PUBLISH="${host_publish}")
    add_dependencies(${t} host-vesk-publish)
  endforeach()
  # A DovaDu.exe that runs while it is upgraded.
  add_executable(vesk-test-sleeper windows/sleeper.cpp)
  target_link_options(vesk-test-sleeper PRIVATE -static)
  target_compile_definitions(tst_reassembly PRIVATE VESK_TEST_SLEEPER="$<TARGET_FILE:vesk-test-sleeper>")
  add_dependencies(tst_reassembly vesk-test-sleeper)
endif()

# The launcher's whole road under Wine, driven through its windows (tests/windows/road.sh):
# Vesk.exe from a program folder of its own, the stand-in and the publisher on the host,
# a display with a window manager, xdotool for the operator's hands.
find_program(XDOTOOL xdotool)
if(host_tools_ok AND XDOTOOL)
  foreach(tool winmainprogram readsettings clipboardtext typetext)
    set(source windows/${tool}.cpp)
    if(tool STREQUAL "winmainprogram")
      set(source app/winmainprogram.cpp)
    endif()
    add_executable(vesk-test-${tool} ${source})
    target_compile_definitions(vesk-test-${tool} PRIVATE UNICODE _UNICODE)
    target_link_options(vesk-test-${tool} PRIVATE -municode -static)
  endforeach()
  # The recording rasapi32.dll, in a folder of its own until a test puts it beside Vesk.exe.
  add_library(rasrecorder SHARED windows/rasrecorder.cpp)
  target_include_directories(rasrecorder PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_options(rasrecorder PRIVATE -static)
  set_target_properties(rasrecorder PROPERTIES OUTPUT_NAME rasapi32 PREFIX ""
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/rasrecorder)
  foreach(scenario road vpn running stop)
    add_test(NAME wine_${scenario} COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows/road.sh ${scenario})
    set_tests_properties(wine_${scenario} PROPERTIES TIMEOUT 300 ENVIRONMENT
      "VESK_BIN=${PROJECT_BINARY_DIR}/bin;VESK_SITE_OPERATOR=${VESK_OPERATOR};VESK_SITE_OPERATOR_PASSWORD=${VESK_OPERATOR_PASSWORD};VESK_SITE_DB_PASSWORD=${VESK_DB_PASSWORD};VESK_SITE_VPN_HOST=${VESK_VPN_HOST};VESK_SITE_VPN_USER=${VESK_VPN_USER};VESK_SITE_VPN_PASSWORD=${VESK_VPN_PASSWORD};VESK_HOST_TOOLS=${VESK_HOST_TOOLS};VESK_TEST_BIN=${CMAKE_CURRENT_BINARY_DIR};VESK_RASRECORDER=$<TARGET_FILE:rasrecorder>")
  endforeach()
endif()

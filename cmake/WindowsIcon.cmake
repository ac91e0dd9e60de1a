# The program's icon for Windows: an .ico made at build time from the PNGs the Linux menu
# uses (icoutils' icotool), and the resource script that puts it into Vesk.exe.
find_program(ICOTOOL icotool REQUIRED)
set(icon_pngs)
foreach(size 16 24 32 48 64 128 256)
  list(APPEND icon_pngs ${PROJECT_SOURCE_DIR}/app/icons/vesk-${size}.png)
endforeach()
set(VESK_WINDOWS_ICO ${PROJECT_BINARY_DIR}/generated/vesk.ico)
add_custom_command(OUTPUT ${VESK_WINDOWS_ICO}
  COMMAND ${ICOTOOL} -c -o ${VESK_WINDOWS_ICO} ${icon_pngs}
  DEPENDS ${icon_pngs} COMMENT "Making the program's icon")
file(WRITE ${PROJECT_BINARY_DIR}/generated/vesk.rc.in "1 ICON \"@VESK_WINDOWS_ICO@\"\n")
configure_file(${PROJECT_BINARY_DIR}/generated/vesk.rc.in ${PROJECT_BINARY_DIR}/generated/vesk.rc @ONLY)
set_source_files_properties(${PROJECT_BINARY_DIR}/generated/vesk.rc PROPERTIES OBJECT_DEPENDS ${VESK_WINDOWS_ICO})
set(VESK_WINDOWS_RC ${PROJECT_BINARY_DIR}/generated/vesk.rc)

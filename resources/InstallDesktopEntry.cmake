# Run by `cmake --install` (never by a build): writes the desktop entry for the installed application tree
# and installs it into <prefix>/<datadir>/applications. Expects CW_APP_NAME, CW_DESKTOP_TEMPLATE,
# CW_DESKTOP_FILE (where to write it first, in the build tree) and CW_DESKTOP_DATADIR; the prefix is the
# one this install runs with (DESTDIR, when set, is added by file(INSTALL)).

get_filename_component(prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
set(app "${prefix}/${CW_APP_NAME}.app")

# Exec: the program path quoted, with the characters that are special inside the quotes escaped, then
# every backslash doubled because the value is itself an escaped string; "%" is doubled for field codes.
set(exec "${app}/Contents/MacOS/bootpad")
string(REPLACE "\\" "\\\\" exec "${exec}")
string(REPLACE "\"" "\\\"" exec "${exec}")
string(REPLACE "`" "\\`" exec "${exec}")
string(REPLACE "$" "\\$" exec "${exec}")
string(REPLACE "\\" "\\\\" exec "${exec}")
string(REPLACE "%" "%%" exec "${exec}")
set(CW_DESKTOP_EXEC "\"${exec}\"")

set(icon "${app}/Contents/Resources/app/brand.png")
string(REPLACE "\\" "\\\\" CW_DESKTOP_ICON "${icon}")

configure_file("${CW_DESKTOP_TEMPLATE}" "${CW_DESKTOP_FILE}" @ONLY)
file(INSTALL DESTINATION "${prefix}/${CW_DESKTOP_DATADIR}/applications" TYPE FILE FILES "${CW_DESKTOP_FILE}")

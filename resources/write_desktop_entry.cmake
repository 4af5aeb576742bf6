# Writes the desktop entry VELKIN_DESKTOP_FILE whose Exec runs the program at
# VELKIN_DESKTOP_EXEC. Run at install time, when the real prefix is known.

# Exec takes a quoted argument: inside the quotes \ " ` $ get a backslash, and
# the value as a whole escapes each backslash once more; % is a field code
# unless doubled. A line break cannot be written at all.
if(VELKIN_DESKTOP_EXEC MATCHES "[\r\n]")
  message(FATAL_ERROR "Cannot write a desktop entry for a program path with a line break: ${VELKIN_DESKTOP_EXEC}")
endif()
string(REPLACE "\\" "\\\\" exec "${VELKIN_DESKTOP_EXEC}")
string(REPLACE "\"" "\\\"" exec "${exec}")
string(REPLACE "`" "\\`" exec "${exec}")
string(REPLACE "$" "\\$" exec "${exec}")
string(REPLACE "\\" "\\\\" exec "${exec}")
string(REPLACE "%" "%%" exec "${exec}")

message(STATUS "Installing: ${VELKIN_DESKTOP_FILE}")
file(WRITE "${VELKIN_DESKTOP_FILE}" "[Desktop Entry]
Type=Application
Name=Velkin
Comment=Velkin - local AI chat
Exec=\"${exec}\"
Icon=velkin
Terminal=false
Categories=Utility;
")

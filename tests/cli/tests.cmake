# The manual page formats without a warning (it is installed with the command).
add_test(NAME cli.manpage_warnings
  COMMAND /bin/sh -c "out=$(man --warnings -l \"$1\" 2>&1 >/dev/null); [ -z \"$out\" ] || { echo \"$out\"; exit 1; }"
    sh ${PROJECT_SOURCE_DIR}/doc/tonvelo.1)

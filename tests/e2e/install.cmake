# What an admin meets: the install tree, the man page, the systemd units, the Debian package, and
# inetd mode behind systemd-socket-activate and socat, the README's POP3S commands and its fail2ban
# set-up (scripts in tests/e2e/install/).
set(fernd_install_test_dir "${CMAKE_CURRENT_SOURCE_DIR}/e2e/install")
set(fernd_install_test_args
    --source-dir "${PROJECT_SOURCE_DIR}" --build-dir "${PROJECT_BINARY_DIR}"
    --binary "$<TARGET_FILE:fernd>" --version "${PROJECT_VERSION}")

foreach(test IN ITEMS InstallTree ManPage Units Package InetdActivation Pop3sReadme Fail2ban)
  string(REGEX REPLACE "([a-z])([A-Z])" "\\1_\\2" script "${test}")
  string(TOLOWER "${script}" script)
  add_test(NAME "E2EInstall.${test}"
           COMMAND "${Python3_EXECUTABLE}" "${fernd_install_test_dir}/${script}_test.py"
                   ${fernd_install_test_args})
  set_tests_properties("E2EInstall.${test}" PROPERTIES TIMEOUT 300)
endforeach()

# These five run `cmake --install` on the build tree (CPack does so too), which rewrites files in
# it: one at a time.
set_tests_properties(E2EInstall.InstallTree E2EInstall.Units E2EInstall.Package
                     E2EInstall.Pop3sReadme E2EInstall.Fail2ban
                     PROPERTIES RESOURCE_LOCK fernd_build_tree_install)

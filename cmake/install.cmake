# Installation rules and the Debian package.
#
#   cmake --install build [--prefix /usr]     DESTDIR is honoured as well
#   scripts/package                           build/package/fernd_<version>-1_<arch>.deb
#
# Everything lands under the install prefix, the systemd units included, so that a DESTDIR
# install is a self-contained tree and the package carries the whole program. Tests and
# benchmarks are never installed.
include(GNUInstallDirs)

# Relative to the prefix, like the GNUInstallDirs variables: /usr/lib/systemd/system for the
# prefix /usr, which systemd reads. An absolute path is used as it stands.
set(FERND_SYSTEMD_UNIT_DIR "lib/systemd/system"
    CACHE STRING "Where the systemd units go (relative to CMAKE_INSTALL_PREFIX, or absolute)")

install(TARGETS fernd RUNTIME DESTINATION "${CMAKE_INSTALL_SBINDIR}")
install(FILES "${PROJECT_SOURCE_DIR}/docs/fernd.8" DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")

# The documents of docs/ that are installed beside the README: the client guide, the set-up
# behind a proxy, the design and the performance notes. The fresh-machine check stays in the
# source tree, whose scripts it runs.
set(fernd_docs clients.md scaling.md design.md performance.md)

# The service units name the installed binary by its absolute path. The prefix is final only at
# install time (`cmake --install --prefix` and CPack both change it), so they are written then.
set(fernd_install_units [[
  set(fernd_sbindir "@CMAKE_INSTALL_SBINDIR@")
  set(fernd_unitdir "@FERND_SYSTEMD_UNIT_DIR@")
  foreach(dir IN ITEMS fernd_sbindir fernd_unitdir)
    if(NOT IS_ABSOLUTE "${${dir}}")
      set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
    endif()
  endforeach()
  set(FERND_INSTALLED_BINARY "${fernd_sbindir}/fernd")
  foreach(unit IN ITEMS fernd.service fernd@.service)
    configure_file("@PROJECT_SOURCE_DIR@/dist/systemd/${unit}.in"
                   "@PROJECT_BINARY_DIR@/dist/systemd/${unit}" @ONLY)
  endforeach()
  file(INSTALL DESTINATION "${fernd_unitdir}" TYPE FILE
       FILES "@PROJECT_BINARY_DIR@/dist/systemd/fernd.service"
             "@PROJECT_BINARY_DIR@/dist/systemd/fernd@.service"
             "@PROJECT_SOURCE_DIR@/dist/systemd/fernd.socket")
  # POP3 over TLS with stunnel: examples for the admin to copy to /etc, so they go with the
  # documentation. The stunnel configuration starts the installed binary too.
  set(fernd_docdir "@CMAKE_INSTALL_DOCDIR@")
  if(NOT IS_ABSOLUTE "${fernd_docdir}")
    set(fernd_docdir "${CMAKE_INSTALL_PREFIX}/${fernd_docdir}")
  endif()
  configure_file("@PROJECT_SOURCE_DIR@/dist/stunnel/fernd-pop3s.conf.in"
                 "@PROJECT_BINARY_DIR@/dist/stunnel/fernd-pop3s.conf" @ONLY)
  file(INSTALL DESTINATION "${fernd_docdir}/stunnel" TYPE FILE
       FILES "@PROJECT_BINARY_DIR@/dist/stunnel/fernd-pop3s.conf"
             "@PROJECT_SOURCE_DIR@/dist/stunnel/override.conf")
  # Against password guessing: the fail2ban filter for fernd's log file, also for the admin to
  # copy to /etc.
  file(INSTALL DESTINATION "${fernd_docdir}/fail2ban" TYPE FILE
       FILES "@PROJECT_SOURCE_DIR@/dist/fail2ban/fernd.conf")
  # The README links the documents of docs/ that are installed (fernd_docs above) as docs/NAME;
  # installed, they stand beside it. A link to a file that is not installed (a script, the
  # fresh-machine check) becomes its plain text, the file's path, and says where that is.
  file(READ "@PROJECT_SOURCE_DIR@/README.md" fernd_readme)
  foreach(document IN ITEMS @fernd_docs@)
    string(REPLACE "](docs/${document})" "](${document})" fernd_readme "${fernd_readme}")
  endforeach()
  string(REGEX REPLACE "\\[([A-Za-z0-9/._-]*)\\]\\((scripts|docs)/[^)]*\\)"
         "\\1 (in fernd's source tree)" fernd_readme "${fernd_readme}")
  file(WRITE "@PROJECT_BINARY_DIR@/dist/README.md" "${fernd_readme}")
  file(INSTALL DESTINATION "${fernd_docdir}" TYPE FILE FILES "@PROJECT_BINARY_DIR@/dist/README.md")
]])
string(CONFIGURE "${fernd_install_units}" fernd_install_units @ONLY)
install(CODE "${fernd_install_units}")

list(TRANSFORM fernd_docs PREPEND "${PROJECT_SOURCE_DIR}/docs/"
     OUTPUT_VARIABLE fernd_doc_files)
install(FILES ${fernd_doc_files} "${PROJECT_SOURCE_DIR}/LICENSE"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}")

# The Debian package (cpack -G DEB, which scripts/package runs). It always installs under /usr,
# whatever prefix the build tree was configured with.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "fernd")
set(CPACK_PACKAGE_VENDOR "The fernd developers")
set(CPACK_PACKAGE_CONTACT "The fernd developers <dev@fernd.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small POP3 server for local Maildirs")
set(CPACK_PACKAGE_DESCRIPTION
    "fernd lets a mail client fetch and delete, over POP3, the messages in the\n\
new/ directory of one or more Maildir mailboxes. Each mailbox is bound on the\n\
command line to one user name and one password. fernd runs as a standalone\n\
listener, or from inetd or systemd socket activation. It speaks plain POP3\n\
(USER/PASS and UIDL, and TOP with --top). The package ships a configuration\n\
for stunnel that serves it over TLS: POP3S on port 995 and STARTTLS on\n\
port 110.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The fernd developers <dev@fernd.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION "mail")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_RELEASE "1")
# fernd_<version>-<release>_<arch>.deb, the name that dpkg-name would give it.
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
# The library dependencies (libc6, libstdc++6, libgcc-s1) are worked out by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)

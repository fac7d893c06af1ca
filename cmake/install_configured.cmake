# Run by `cmake --install` (make install): writes the files that name
# installed paths for the prefix of this install, which may differ from the
# one the build was configured with (--prefix, make install PREFIX=...).
# Set before: QUILLMAR_SOURCE_DIR, QUILLMAR_BINARY_DIR, QUILLMAR_CONFIGURED
# (pairs of a template below the source directory and the directory below
# the prefix it goes to, its name without ".in"; @QUILLMAR_BINDIR@ and
# @QUILLMAR_DOCDIR@ in it become the full paths), and the GNUInstallDirs
# directories QUILLMAR_REL_BINDIR and QUILLMAR_REL_DOCDIR.
foreach(dir BINDIR DOCDIR)
  if(IS_ABSOLUTE "${QUILLMAR_REL_${dir}}")
    set(QUILLMAR_${dir} "${QUILLMAR_REL_${dir}}")
  else()
    set(QUILLMAR_${dir} "${CMAKE_INSTALL_PREFIX}/${QUILLMAR_REL_${dir}}")
  endif()
endforeach()

# A directory of this install's own: installs for other prefixes may run
# from the same build tree at the same time.
string(MD5 tag "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
string(RANDOM LENGTH 8 salt)
string(APPEND tag "-${salt}")
set(written_dir "${QUILLMAR_BINARY_DIR}/configured/${tag}")
list(LENGTH QUILLMAR_CONFIGURED count)
math(EXPR last "${count} - 1")
foreach(i RANGE 0 ${last} 2)
  math(EXPR j "${i} + 1")
  list(GET QUILLMAR_CONFIGURED ${i} template)
  list(GET QUILLMAR_CONFIGURED ${j} destination)
  file(READ "${QUILLMAR_SOURCE_DIR}/${template}" text)
  # Only these names are replaced: the files hold other words between "@"
  # signs (mail addresses).
  foreach(dir BINDIR DOCDIR)
    string(REPLACE "@QUILLMAR_${dir}@" "${QUILLMAR_${dir}}" text "${text}")
  endforeach()
  get_filename_component(name "${template}" NAME)
  string(REGEX REPLACE "\\.in$" "" name "${name}")
  set(written "${written_dir}/${name}")
  file(WRITE "${written}" "${text}")
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${destination}" TYPE FILE FILES "${written}")
endforeach()
file(REMOVE_RECURSE "${written_dir}")

# What `cmake --install` puts where, and the package CPack makes of it:
#
#   Linux:   cmake --build build --target package    -> corvelassembler_<version>_<arch>.deb
#   Windows: the mingw-w64 cross build, same target  -> CorvelAssembler-<version>-win64.zip
#
# Both carry the tool, the two format documents under docs/ and the example
# scripts under examples/, so the documents' links to each other hold in
# either. The version is the one given to project().

set(corvel_doc_sources docs/AssemblyFormat.md docs/CompiledFormat.md)
# The examples by name: the folder may also hold outputs of a user's own runs.
set(corvel_example_sources examples/README.md examples/Hello.cas examples/GameRules.cas examples/Inventory.cas
    examples/Lantern.cas)

set(CORVEL_PACKAGE_MAINTAINER "The CorvelAssembler developers <corvelassembler@example.org>"
    CACHE STRING "Name and mail address in the Maintainer field of the Debian package")

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # A folder to unpack anywhere: the program at its top.
  install(TARGETS CorvelAssembler RUNTIME DESTINATION .)
  install(FILES ${corvel_doc_sources} DESTINATION docs)
  install(FILES ${corvel_example_sources} DESTINATION examples)
  install(FILES cmake/debian/copyright DESTINATION . RENAME COPYRIGHT.txt)
else()
  set(corvel_package_doc share/doc/corvelassembler)
  install(TARGETS CorvelAssembler RUNTIME DESTINATION bin)
  install(FILES ${corvel_doc_sources} DESTINATION ${corvel_package_doc}/docs)
  install(FILES ${corvel_example_sources} DESTINATION ${corvel_package_doc}/examples)
  install(FILES cmake/debian/copyright DESTINATION ${corvel_package_doc})

  # The manual page and the Debian changelog go in compressed, without a
  # time stamp in the gzip header. The page's version words (its footer and
  # the banner it shows) are rewritten to the project's version.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${PROJECT_SOURCE_DIR}/docs/CorvelAssembler.1 ${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in)
  file(READ docs/CorvelAssembler.1 corvel_page)
  string(REGEX REPLACE "CorvelAssembler [0-9]+(\\.[0-9]+)+\"" "CorvelAssembler ${PROJECT_VERSION}\""
         corvel_page "${corvel_page}")
  string(REGEX REPLACE "Version [0-9]+(\\.[0-9]+)+ for" "Version ${PROJECT_VERSION} for" corvel_page "${corvel_page}")
  set(corvel_package_dir ${PROJECT_BINARY_DIR}/package)
  file(WRITE ${corvel_package_dir}/CorvelAssembler.1.new "${corvel_page}")
  configure_file(${corvel_package_dir}/CorvelAssembler.1.new ${corvel_package_dir}/CorvelAssembler.1 COPYONLY)

  # Honours SOURCE_DATE_EPOCH, for a package that is the same from run to run.
  string(TIMESTAMP CORVEL_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(cmake/debian/changelog.in ${corvel_package_dir}/changelog @ONLY)

  find_program(CORVEL_GZIP gzip REQUIRED)
  set(corvel_compressed)
  foreach(file CorvelAssembler.1 changelog)
    add_custom_command(OUTPUT ${corvel_package_dir}/${file}.gz
                       COMMAND ${CORVEL_GZIP} -9nkf ${file}
                       WORKING_DIRECTORY ${corvel_package_dir}
                       DEPENDS ${corvel_package_dir}/${file} VERBATIM)
    list(APPEND corvel_compressed ${corvel_package_dir}/${file}.gz)
  endforeach()
  add_custom_target(corvel_compressed_docs ALL DEPENDS ${corvel_compressed})
  install(FILES ${corvel_package_dir}/CorvelAssembler.1.gz DESTINATION share/man/man1)
  install(FILES ${corvel_package_dir}/changelog.gz DESTINATION ${corvel_package_doc})
endif()

set(CPACK_PACKAGE_NAME CorvelAssembler)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The CorvelAssembler developers")
set(CPACK_PACKAGE_CONTACT "${CORVEL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "assemble, disassemble, check and strip Corvel scripts")
set(CPACK_PACKAGE_DESCRIPTION
    "CorvelAssembler converts scripts of the Corvel scripting language between
assembly text (.cas), which people and tools read and write, and compiled
bytecode (.cex), which the script runtime of the game Vantrel loads. It also
strips debugging information from compiled scripts and checks either form
without writing anything, reporting every problem with file and line.

The package holds the tool, its manual page, the reference of the assembly
text format, the layout of compiled scripts and example scripts.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/cmake/debian/copyright)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_NAME corvelassembler)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # dpkg-shlibdeps fills in Depends from the libraries the program links:
  # with the C++ runtime linked in, that is the C library alone.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)

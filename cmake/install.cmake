# Install rules: the tree a distribution packages. zarnin and zarnout are
# administrator programs (sbin), wardrun is run by the package builder (bin).
# A program, its manual page and its completion are installed only when the
# program is built in this tree.
include(GNUInstallDirs)

set(sorn_programs zarnin zarnout wardrun)
set(sorn_program_dirs ${CMAKE_INSTALL_SBINDIR} ${CMAKE_INSTALL_SBINDIR} ${CMAKE_INSTALL_BINDIR})
set(sorn_program_sections 8 8 1)
foreach(prog dir section IN ZIP_LISTS sorn_programs sorn_program_dirs sorn_program_sections)
  if(TARGET ${prog})
    install(TARGETS ${prog} RUNTIME DESTINATION ${dir})
    install(FILES ${PROJECT_SOURCE_DIR}/man/${prog}.${section}
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    # One script completes all three programs; bash-completion loads it
    # under the name of the command being completed.
    install(FILES ${PROJECT_SOURCE_DIR}/completion/sorn.bash
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${prog})
  endif()
endforeach()

# The library and its headers, for the distribution's build tooling. The
# headers include one another as "util/util.h", so they keep their
# subdirectories under include/sorn.
install(TARGETS sorn ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
foreach(header util/util.h db/db.h archive/archive.h integrate/integrate.h)
  get_filename_component(subdir ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/lib/${header}
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/sorn/${subdir})
endforeach()

# sorn.pc is written when installing, so that it names the prefix actually
# installed to (`cmake --install --prefix` may differ from the configured one).
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(sorn_pc_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(sorn_pc_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
set(sorn_pc_file ${PROJECT_BINARY_DIR}/sorn.pc)
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(libdir [[${sorn_pc_LIBDIR}]])
  set(includedir [[${sorn_pc_INCLUDEDIR}]])
  set(version [[${PROJECT_VERSION}]])
  configure_file([[${PROJECT_SOURCE_DIR}/cmake/sorn.pc.in]] [[${sorn_pc_file}]] @ONLY)
")
install(FILES ${sorn_pc_file} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

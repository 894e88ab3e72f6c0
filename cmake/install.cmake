# `cmake --install` puts every program in <prefix>/bin, its manual page in share/man/man1, the
# companions' bash completion in share/bash-completion/completions, the Slurm job-array script
# in share/varnel and the documentation in share/doc/varnel. Included after every program's
# target is defined.
include(GNUInstallDirs)
# Folders as Debian has them whatever the umask of the one who builds.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(varnel_programs varnel.exe)
foreach(program varnel-plot varnel-sim varnel-sim-campaign varnel-campaign)
  if(TARGET ${program})
    list(APPEND varnel_programs ${program})
  endif()
endforeach()
install(TARGETS ${varnel_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The copyright and the changelog that Debian expects of every package's documentation.
install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
string(TIMESTAMP VARNEL_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog
               @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
  COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/debian/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog
  VERBATIM)
add_custom_target(varnel_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/debian/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/varnel-slurm-array.sh
        DESTINATION ${CMAKE_INSTALL_DATADIR}/varnel)

# One line for each manual page's NAME section.
set(varnel_summary_varnel.exe
    "rise time, amplitude and time stamp of every channel of a bench-test recording")
set(varnel_summary_varnel-plot "varnel.exe's analysis, then pictures and JSON of its results")
set(varnel_summary_varnel-sim "write a simulated bench-test recording")
set(varnel_summary_varnel-sim-campaign "write the recordings of a simulated test campaign")
set(varnel_summary_varnel-campaign
    "analyse a test campaign's recordings into one database, judge each chip and report")
set(man_pages "")
foreach(program IN LISTS varnel_programs)
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
  if(program STREQUAL "varnel.exe")
    # Its usage text, without the line that counts the arguments given.
    set(help_args -DHELP_ARGS= -DSKIP_FIRST_LINE=ON)
  else()
    set(help_args -DHELP_ARGS=--help)
  endif()
  set(see_also ${varnel_programs})
  list(REMOVE_ITEM see_also ${program})
  list(JOIN see_also "," see_also)
  add_custom_command(
    OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DNAME=${program}
            "-DSUMMARY=${varnel_summary_${program}}" -DVERSION=${PROJECT_VERSION} ${help_args}
            -DSEE_ALSO=${see_also} -DOUT=${page} -P ${CMAKE_SOURCE_DIR}/cmake/man_page.cmake
    DEPENDS ${program} ${CMAKE_SOURCE_DIR}/cmake/man_page.cmake
    COMMENT "Manual page of ${program} from its help"
    VERBATIM)
  list(APPEND man_pages ${page})
endforeach()
add_custom_target(varnel_man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# bash loads a completion by the program's name; the one script serves every companion.
foreach(program IN LISTS varnel_programs)
  if(NOT program STREQUAL "varnel.exe")
    install(FILES ${CMAKE_SOURCE_DIR}/scripts/bash-completion/varnel
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${program})
  endif()
endforeach()

if(TARGET varnel_tests)
  list(JOIN varnel_programs "," program_list)
  add_test(NAME Install.EveryProgramRunsFromThePrefix
           COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DPROGRAMS=${program_list}
                   -DVERSION=${PROJECT_VERSION} -P ${CMAKE_SOURCE_DIR}/tests/install_test.cmake)
  set_tests_properties(Install.EveryProgramRunsFromThePrefix PROPERTIES TIMEOUT 60)
endif()

# The systemd unit that runs varnel-campaign watch over a bench's data folder, in the folder
# systemd reads packages' units from.
if(TARGET varnel-campaign)
  install(FILES ${CMAKE_SOURCE_DIR}/scripts/systemd/varnel-watch@.service
          DESTINATION lib/systemd/system)
endif()

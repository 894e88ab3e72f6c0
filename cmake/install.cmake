# `cmake --install` puts every program in <prefix>/bin and the documentation in
# <prefix>/share/doc/varnel. Included after every program's target is defined.
include(GNUInstallDirs)
set(varnel_programs varnel.exe)
foreach(program varnel-plot varnel-sim varnel-campaign)
  if(TARGET ${program})
    list(APPEND varnel_programs ${program})
  endif()
endforeach()
install(TARGETS ${varnel_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(TARGET varnel_tests)
  list(JOIN varnel_programs "," program_list)
  add_test(NAME Install.EveryProgramRunsFromThePrefix
           COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DPROGRAMS=${program_list}
                   -DVERSION=${PROJECT_VERSION} -P ${CMAKE_SOURCE_DIR}/tests/install_test.cmake)
  set_tests_properties(Install.EveryProgramRunsFromThePrefix PROPERTIES TIMEOUT 60)
endif()

# The version every program's --version prints comes from project(VERSION) alone, through a
# generated header: link varnel_version and include "varnel_version.h".
configure_file(${CMAKE_CURRENT_LIST_DIR}/varnel_version.h.in
               ${CMAKE_BINARY_DIR}/generated/varnel_version.h @ONLY)
add_library(varnel_version INTERFACE)
target_include_directories(varnel_version INTERFACE ${CMAKE_BINARY_DIR}/generated)


# `cpack -G DEB` in the build directory makes varnel_<version>_amd64.deb of what install.cmake
# installs, under /usr. Its Depends come from the programs' shared libraries (dpkg-shlibdeps)
# plus what they load or read at run time, which no library link shows.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "varnel developers <varnel@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "analysis of bench-test recordings of a 32-channel front-end chip")
# Lines of at most 80 characters, as Debian's tools show them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
       "varnel.exe rebuilds every channel's average pulse from a delay-scan recording,"
       "fits a semi-Gaussian shaper response and writes a 33-line log beside it: rise"
       "time, amplitude and time stamp of each channel. varnel-plot draws the pulses"
       "and fits and writes the results as JSON; varnel-campaign analyses a whole test"
       "campaign into one SQLite database, judges each chip and writes a report;"
       "varnel-sim and varnel-sim-campaign write simulated recordings. With manual"
       "pages, bash completion and a Slurm job-array script in /usr/share/varnel.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(varnel_runtime_depends)
if(TARGET varnel-plot)
  # The PNG and PDF drivers are plugins that the plotting library loads by name.
  list(APPEND varnel_runtime_depends plplot-driver-cairo)
endif()
if(TARGET varnel-campaign)
  list(APPEND varnel_runtime_depends libjs-vega)
endif()
list(JOIN varnel_runtime_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
include(CPack)

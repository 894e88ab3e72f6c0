# Writes the manual page of one program from what the program itself prints for help, so that
# the page and --help cannot differ, gzip-compressed as Debian keeps manual pages. A program with
# subcommands (a "Subcommands:" list in its help) gets each subcommand's help in a section of its
# own. Run at build time on the built program:
#   cmake -DPROGRAM=<path> -DNAME=<name> -DSUMMARY=<one line> -DVERSION=<version>
#         [-DHELP_ARGS=--help] [-DSKIP_FIRST_LINE=ON] [-DSEE_ALSO=a,b] -DOUT=<page.1.gz>
#         -P man_page.cmake
# varnel.exe has no --help: with HELP_ARGS empty its usage text is taken, whatever its status.

# `text` as lines for roff's no-fill mode: backslashes and minus signs escaped, and a line that
# begins with a control character made plain text.
function(roff_literal text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  string(REGEX REPLACE "\n+$" "" text "${text}")
  set(${out} ".nf\n${text}\n.fi\n" PARENT_SCOPE)
endfunction()

function(help_of out)
  execute_process(COMMAND "${PROGRAM}" ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE status
                  ERROR_VARIABLE err)
  if(NOT "${HELP_ARGS}" STREQUAL "" AND NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${ARGN}: status ${status}: ${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

help_of(help ${HELP_ARGS})
if(SKIP_FIRST_LINE)
  # Not REGEX REPLACE: its "^" matches again after each replacement.
  string(FIND "${help}" "\n" end_of_first)
  math(EXPR end_of_first "${end_of_first} + 1")
  string(SUBSTRING "${help}" ${end_of_first} -1 help)
endif()
string(TOUPPER "${NAME}" title)
string(REPLACE "-" "\\-" roff_name "${NAME}")
roff_literal("${help}" description)
set(page ".TH \"${title}\" 1 \"\" \"varnel ${VERSION}\" \"User Commands\"\n")
string(APPEND page ".SH NAME\n${roff_name} \\- ${SUMMARY}\n.SH DESCRIPTION\n${description}")

# The subcommands are the first words of the lines under "Subcommands:" up to a blank line.
string(REGEX MATCH "\n[Ss][Uu][Bb][Cc][Oo][Mm][Mm][Aa][Nn][Dd][Ss]:\n([^\n]+\n)*" listing
             "${help}")
string(REGEX MATCHALL "\n  [a-z][a-z-]*" subcommands "${listing}")
if(subcommands)
  string(APPEND page ".SH SUBCOMMANDS\n")
  foreach(sub IN LISTS subcommands)
    string(STRIP "${sub}" sub)
    help_of(sub_help ${sub} --help)
    roff_literal("${sub_help}" sub_text)
    string(REPLACE "-" "\\-" roff_sub "${sub}")
    string(APPEND page ".SS ${roff_sub}\n${sub_text}")
  endforeach()
endif()

if(SEE_ALSO)
  string(REPLACE "," ";" see_also "${SEE_ALSO}")
  set(refs "")
  foreach(ref IN LISTS see_also)
    string(REPLACE "-" "\\-" ref "${ref}")
    list(APPEND refs "\\fB${ref}\\fR(1)")
  endforeach()
  list(JOIN refs ",\n" refs)
  string(APPEND page ".SH SEE ALSO\n${refs}\n.PP\nThe whole documentation is README.md and the "
         "other files of varnel's documentation folder, /usr/share/doc/varnel where the "
         "Debian package installs it.\n")
endif()

get_filename_component(out_dir "${OUT}" DIRECTORY)
string(REGEX REPLACE "\\.gz$" "" plain "${OUT}")
file(MAKE_DIRECTORY "${out_dir}")
file(WRITE "${plain}" "${page}")
execute_process(COMMAND gzip -9nf "${plain}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip ${plain}: status ${status}")
endif()

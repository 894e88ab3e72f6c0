#!/bin/sh
# Usage: linked_libraries_test.sh PROGRAM PATTERN
# Fails when PROGRAM needs a shared library whose name matches the extended regular expression
# PATTERN (varnel-campaign must run where the plotting library is not installed); skipped (77)
# without readelf.
program=$1
pattern=$2
command -v readelf >/dev/null 2>&1 || { echo "readelf is missing"; exit 77; }
needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ -n "$needed" ] || { echo "readelf found no needed libraries in $program"; exit 1; }
if echo "$needed" | grep -E "$pattern"; then
  echo "$program needs the libraries above"
  exit 1
fi

#!/usr/bin/env bash
# The suite as an ordinary user meets it: `make test` run as USER (default nobody) in a checkout
# whose path holds blanks, with TMPDIR a long folder under it whose path holds blanks too (longer
# than the 108 bytes of a Unix socket's path). Needs root, to become USER.
#
# Usage: scripts/test-as-user.sh [--here] [USER]
#   without --here  the committed tree is cloned into "/tmp/varnel-user-XXXXXX/varnel checkout",
#                   built there by USER and removed once the suite passed;
#   --here          this checkout itself is handed to USER (chown -R) and its build is reused:
#                   for a clone made for the purpose, as CI's is.
set -euo pipefail
cd "$(dirname "$0")/.."
here=0
if [[ ${1:-} == --here ]]; then
  here=1
  shift
fi
user=${1:-nobody}
die() {
  echo "test-as-user: $*" >&2
  exit 1
}
[[ $(id -u) -eq 0 ]] || die "run it as root: it becomes $user to run the suite"
id "$user" >/dev/null 2>&1 || die "no user named $user"
[[ $(id -u "$user") -ne 0 ]] || die "$user is root; name an ordinary user"

if [[ $here -eq 0 ]]; then
  scratch=$(mktemp -d /tmp/varnel-user-XXXXXX)
  chmod 755 "$scratch"
  git clone --quiet --no-hardlinks . "$scratch/varnel checkout"
  trap 'if [[ $? -eq 0 ]]; then rm -rf --one-file-system "$scratch";
    else echo "test-as-user: the checkout is left in $scratch/varnel checkout" >&2; fi' EXIT
  cd "$scratch/varnel checkout"
fi
[[ $PWD == *" "* ]] || die "the checkout's path '$PWD' has no blank"

tmp="$PWD/tmp of the suite/a temporary folder with a long name as some cluster nodes give each job"
mkdir -p "$tmp"
if [[ $here -eq 1 ]]; then
  # The checkout goes back to its owner afterwards, pass or fail: git refuses to read a repository
  # another user owns, and the steps after this one clone it as root.
  owner=$(stat -c %u:%g "$PWD")
  trap 'chown -R "$owner" "$PWD"' EXIT
fi
chown -R "$user:$(id -gn "$user")" "$PWD"
home=$(getent passwd "$user" | cut -d: -f6)
run_as_user() {
  setpriv --reuid="$user" --regid="$(id -g "$user")" --init-groups \
    env -i HOME="$home" USER="$user" LOGNAME="$user" PATH=/usr/local/bin:/usr/bin:/bin \
    TMPDIR="$tmp" LANG=C.UTF-8 "$@"
}
run_as_user test -w "$PWD" -a -w "$tmp" || die "$user cannot reach '$PWD' (a folder above it closed?)"
echo "test-as-user: make test as $user in '$PWD', TMPDIR of ${#tmp} bytes"
run_as_user make --no-print-directory test

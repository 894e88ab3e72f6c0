#!/usr/bin/env bash
# What a newcomer sees on a freshly installed Debian 12: bootstraps a minimal root (minbase, git,
# make) from the Debian archive this machine uses, clones the committed project into it, into a
# path with a blank in a user's home, and runs there as that user, who has no sudo:
#   1. `make demo`: it must refuse with one line to run as root, install nothing and build
#      nothing; that line is then run as root, and nothing else;
#   2. `make demo`, "Building by hand" of docs/maintainers.md as written up to its build, and
#      `make test` (the tests whose tools are missing reported as skipped) with a long TMPDIR
#      whose path holds blanks, all as the user;
#   3. `make package` as root in the same checkout, after which the user's `make demo` must stop
#      with one line saying that the build folder is root's;
# then installs the package into a second fresh root (without python3) and checks the installed
# programs: the demo recording through varnel.exe gives the build's log, varnel-plot draws it,
# `man varnel-campaign` works, and a first campaign made with varnel-sim-campaign goes through
# the Slurm script run as the tasks of an array, one recording failing, and `varnel-campaign
# ingest`, which must keep the failure. Prints the times.
#
# The package must pass lintian without an error. Needs root (chroot, mounts), mmdebstrap and
# lintian. Downloaded packages are kept in $FRESH_CACHE
# (/var/cache/varnel-fresh-test) for the next run; the roots live under $FRESH_DIR
# (build-fresh/ in the checkout) and are deleted on every way out. With FRESH_DEB=PATH the first
# root is left out and the package root installs that package.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
work=${FRESH_DIR:-$repo/build-fresh}
cache=${FRESH_CACHE:-/var/cache/varnel-fresh-test}
checkout="/home/newcomer/fresh checkout/varnel"  # the blank is on purpose
suite=bookworm
demo_dir=demo/20261208/120000_korvi100000
recording=$demo_dir/120000_korvi100000_dessel00_link00_20mV_delay-all_adc.txt
demo_log=$demo_dir/rise_time_korvi100000_20mV_delay-all.log

say() { echo "== fresh-debian-test: $*"; }
die() {
  echo "fresh-debian-test: $*" >&2
  exit 1
}
[[ $(id -u) -eq 0 ]] || die "needs root (it bootstraps systems and chroots into them); run it as root"
command -v mmdebstrap >/dev/null || die "needs mmdebstrap (apt-get install mmdebstrap)"
command -v lintian >/dev/null || die "needs lintian (apt-get install lintian)"

# The machine's own sources files that point at the Debian archive (others need keys that a
# fresh system does not have).
debian_sources() {
  local f uris
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [[ -s $f ]] || continue
    if [[ $f == *.sources ]]; then
      uris=$(sed -n 's/^URIs:[[:space:]]*//p' "$f")
    else
      uris=$(sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\).*/\2/p' "$f")
    fi
    [[ -n $uris ]] || continue
    if ! grep -qvE '^[a-z+]+://[^[:space:]]*/debian(-security)?/?$' <<<"$uris"; then
      echo "$f"
    fi
  done
}
mapfile -t sources < <(debian_sources)
[[ ${#sources[@]} -gt 0 ]] || die "no Debian archive in /etc/apt/sources.list*"

mkdir -p "$work" "$cache"
# Packages this machine has already downloaded are the archive's own files: start from them.
find /var/cache/apt/archives -maxdepth 1 -name '*.deb' -exec cp -ln -t "$cache" {} + 2>/dev/null || true

# Every mount is made at one of these places in a root, and undone in reverse order on the way
# out; a root is deleted only when none of them is still mounted.
mount_points=(proc sys dev dev/pts var/cache/apt/archives)
roots=()
cleanup() {
  local root i busy=0
  for root in "${roots[@]}"; do
    for ((i = ${#mount_points[@]} - 1; i >= 0; i--)); do
      if mountpoint -q "$root/${mount_points[i]}"; then
        umount "$root/${mount_points[i]}" 2>/dev/null || umount -l "$root/${mount_points[i]}" || true
      fi
    done
    for i in "${mount_points[@]}"; do
      mountpoint -q "$root/$i" && busy=1
    done
  done
  if [[ $busy -eq 1 ]]; then
    echo "fresh-debian-test: a mount is left in $work; the roots are not deleted" >&2
    return
  fi
  for root in "${roots[@]}"; do rm -rf --one-file-system "$root"; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A minimal Debian root at $1 with the packages $2 (comma-separated) besides minbase.
bootstrap() {
  local root=$1 include=$2 cache_q
  roots+=("$root")
  rm -rf --one-file-system "$root"
  cache_q=$(printf %q "$cache")
  # dpkg skips its fsync calls: a throwaway system needs no crash safety, and they cost minutes.
  mmdebstrap --quiet --variant=minbase ${include:+--include="$include"} \
    --dpkgopt=force-unsafe-io --skip=essential/unlink \
    --setup-hook="mkdir -p \"\$1/var/cache/apt/archives\" && mount --bind $cache_q \"\$1/var/cache/apt/archives\"" \
    --customize-hook='umount "$1/var/cache/apt/archives"' \
    "$suite" "$root" "${sources[@]}"
}

# Makes the root at $1 usable by chroot: kernel file systems, the shared package cache, DNS.
enter() {
  local root=$1
  mount -t proc proc "$root/proc"
  mount -t sysfs sys "$root/sys"
  mount --bind /dev "$root/dev"
  mount --bind /dev/pts "$root/dev/pts"
  mount --bind "$cache" "$root/var/cache/apt/archives"
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
}

# Runs $3... in the root $1 as user $2 (root or newcomer) with a login's clean environment.
in_root() {
  local root=$1 user=$2 home=/root
  shift 2
  [[ $user == root ]] || home=/home/$user
  chroot --userspec="$user:$user" "$root" /usr/bin/env -i HOME="$home" USER="$user" LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

declare -A took
timed() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  took[$name]=$((SECONDS - start))
}

# ---- the first root: the newcomer's machine
first=$work/debian-12
newcomer() { in_root "$first" newcomer sh -c "cd '$checkout' && $1"; }
installed_packages() { in_root "$first" root dpkg-query -W -f='${Package} ${Version}\n'; }
make_first_root() {
  say "bootstrapping $first (minbase, git, make) from ${sources[*]}"
  timed bootstrap1 bootstrap "$first" git,make
  enter "$first"
  in_root "$first" root useradd --create-home --shell /bin/bash newcomer
  mkdir -p "$(dirname "$first$checkout")"
  git clone --quiet --no-hardlinks "$repo" "$first$checkout"
  in_root "$first" root chown -R newcomer:newcomer "/home/newcomer"

  say "make demo as a user without sudo in '$checkout'"
  local packages_before status=0 line
  packages_before=$(installed_packages)
  newcomer "make demo" >"$work/user.out" 2>"$work/user.err" || status=$?
  cat "$work/user.out" "$work/user.err"
  [[ $status -ne 0 ]] || die "make demo as a user without sudo succeeded"
  line=$(sed -n 's/^  \(apt-get update && apt-get install --no-install-recommends .*\)/\1/p' \
    "$work/user.err")
  [[ -n $line ]] || die "make demo as a user without sudo did not say what to run as root"
  [[ $(wc -l <"$work/user.err") -le 3 ]] || die "make demo as a user printed more than its message"
  [[ $packages_before == "$(installed_packages)" ]] ||
    die "make demo as a user changed the installed packages"
  [[ ! -e $first$checkout/build ]] || die "make demo as a user left a build directory"

  say "the printed line, as root: $line"
  # apt-get asks before it installs; the newcomer says yes (and no package asks more).
  timed install_deps in_root "$first" root env DEBIAN_FRONTEND=noninteractive \
    sh -c "yes | { $line; }" >"$work/root-line.log" 2>&1 ||
    { tail -n 30 "$work/root-line.log"; die "the printed line failed"; }
  say "make demo as the user"
  timed demo newcomer "make demo"
  say "\"Building by hand\" of docs/maintainers.md as the user"
  local recipe
  # Its package line is make package's, below, and its suite the one make test runs next in the
  # same build folder: here the recipe stops once it has built.
  recipe=$(awk '/^## Building by hand/ { on = 1; next } on && /^    / { print substr($0, 5); next }
    on && NF { exit }' "$first$checkout/docs/maintainers.md" | grep -v '^cd build && cpack' |
    sed 's/ && ctest --test-dir build .*$//')
  [[ -n $recipe ]] || die "no recipe under \"Building by hand\" in docs/maintainers.md"
  echo "$recipe"
  timed by_hand newcomer "set -e
$recipe" >"$work/by-hand.out" 2>&1 ||
    { tail -n 40 "$work/by-hand.out"; die "\"Building by hand\" of docs/maintainers.md failed"; }
  # The suite as an ordinary user meets it at its hardest: from a path with blanks, with a TMPDIR
  # under it that holds blanks too and is longer than the 108 bytes of a Unix socket's path, as
  # some cluster nodes give each job.
  local tmp="$checkout/tmp of the suite/a temporary folder with a long name as some cluster nodes give each job"
  say "make test as the user, TMPDIR of ${#tmp} bytes"
  newcomer "mkdir -p '$tmp'"
  timed test newcomer "TMPDIR='$tmp' make test" >"$work/test.out" 2>&1 ||
    { tail -n 60 "$work/test.out"; die "make test as the user failed"; }
  grep -E 'tests passed|Not Run|Skipped' "$work/test.out" | tail -n 12
  say "make package as root in the same checkout"
  timed package in_root "$first" root sh -c "cd '$checkout' && make package"
  say "make demo as the user once root has built in the checkout"
  status=0
  newcomer "make demo" >"$work/user2.out" 2>"$work/user2.err" || status=$?
  cat "$work/user2.err"
  [[ $status -ne 0 && $(wc -l <"$work/user2.err") -eq 1 ]] && grep -q "belongs to root" "$work/user2.err" ||
    die "make demo in a build folder of root's did not say so in one line"

  local debs=("$first$checkout"/build/varnel_*_amd64.deb)
  [[ -f ${debs[0]} ]] || die "make package made no varnel_*_amd64.deb"
  deb_path=$work/$(basename "${debs[0]}")
  cp "${debs[0]}" "$deb_path"
  mkdir -p "$work/demo"
  cp "$first$checkout/$recording" "$first$checkout/$demo_log" "$work/demo/"
}

if [[ -n ${FRESH_DEB:-} ]]; then
  deb_path=$(realpath "$FRESH_DEB")
  [[ -s $work/demo/$(basename "$demo_log") ]] || die "FRESH_DEB needs the demo of a run before in $work/demo"
else
  make_first_root
fi
deb=$(basename "$deb_path")
say "lintian $deb"
lintian --fail-on error "$deb_path" >"$work/lintian.out" 2>&1 ||
  { cat "$work/lintian.out"; die "lintian finds errors in $deb"; }
grep -v '^running with root privileges' "$work/lintian.out" || true

# ---- the second root: a machine that only installs the package
second=$work/debian-12-package
say "bootstrapping $second (minbase, man-db)"
timed bootstrap2 bootstrap "$second" man-db
enter "$second"
cp "$deb_path" "$second/tmp/$deb"
mkdir -p "$second/tmp/run"
cp "$work/demo/$(basename "$recording")" "$second/tmp/run/"
say "apt install ./$deb"
install_package() {
  in_root "$second" root apt-get update -qq &&
    in_root "$second" root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
      --no-install-recommends "/tmp/$deb" >"$work/apt-install.log" 2>&1 ||
    { cat "$work/apt-install.log"; die "apt install ./$deb failed"; }
}
timed install install_package
in_package_root() { in_root "$second" root sh -c "$1"; }
in_package_root "varnel-sim --version && varnel-plot --version && varnel-campaign --version"
say "the demo recording through the installed varnel.exe"
in_package_root "cd /tmp/run && varnel.exe 100000 20mV_delay-all $(basename "$recording")"
cmp "$work/demo/$(basename "$demo_log")" "$second/tmp/run/$(basename "$demo_log")" ||
  die "the installed varnel.exe wrote a log different from the build's"
in_package_root "cd /tmp/run && varnel-plot 100000 20mV_delay-all $(basename "$recording")" 2>/dev/null
[[ -s $second/tmp/run/$(basename "$demo_log" .log).png ]] || die "the installed varnel-plot drew no picture"

say "man varnel-campaign"
in_package_root "MANWIDTH=100 man varnel-campaign 2>&1" >"$work/man.txt" || { cat "$work/man.txt"; die "man varnel-campaign failed"; }
head -n 12 "$work/man.txt"
grep -q -- "--db" "$work/man.txt" || die "man varnel-campaign does not show its options"

say "a first campaign with the installed programs, its Slurm array on a node without python3"
! in_package_root "command -v python3" >/dev/null || die "the package root has python3"
bad=123510_korvi100099_dessel00_link00_20mV_delay-all_adc.txt
in_package_root "cd /tmp && varnel-sim-campaign --output campaign/20180725 --chips 4 --events 40 &&
  echo garbage >campaign/20180725/$bad && varnel-campaign list campaign/20180725 >runs.tsv"
tasks=$(wc -l <"$second/tmp/runs.tsv")
for ((task = 1; task <= tasks; task++)); do
  in_package_root "cd /tmp && SLURM_ARRAY_TASK_ID=$task /usr/share/varnel/varnel-slurm-array.sh runs.tsv" \
    >>"$work/slurm-tasks.out" 2>&1 || true
done
ingest=$(in_package_root "cd /tmp && varnel-campaign ingest --db cluster.sqlite campaign/20180725") || true
echo "$ingest"
[[ $ingest == "5 results: 4 ingested, 1 failed runs; 0 skipped; database cluster.sqlite" ]] ||
  { cat "$work/slurm-tasks.out"; die "the array's results did not all reach the database"; }
# verdicts fails, as some chips do; the failed recording's chip must be among them.
verdicts=$(in_package_root "cd /tmp && varnel-campaign verdicts --db cluster.sqlite") || true
grep 100099 <<<"$verdicts" || die "the failed chip is not among the verdicts"
status=0
in_package_root "cd /tmp && varnel-campaign run --db typo.sqlite nosuchdir" || status=$?
[[ $status -ne 0 && ! -e $second/tmp/typo.sqlite ]] || die "varnel-campaign run nosuchdir made a database"

summary="times (s): bootstrap ${took[bootstrap1]:-0}, the printed line ${took[install_deps]:-0},"
summary+=" make demo ${took[demo]:-0}, by hand ${took[by_hand]:-0}, make test ${took[test]:-0},"
summary+=" make package ${took[package]:-0}; package root: bootstrap ${took[bootstrap2]},"
summary+=" apt install ${took[install]}"
say "passed; $summary"
echo "$summary" >"$work/times.txt"

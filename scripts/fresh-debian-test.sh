#!/usr/bin/env bash
# What a newcomer sees on a freshly installed Debian 12: bootstraps a minimal root (minbase, git,
# make) from the Debian archive this machine uses, clones the committed project into it (into a
# path with a space) and runs there
#   1. `make demo` as an ordinary user without sudo: it must refuse with one message saying what
#      to run as root, install nothing and build nothing;
#   2. `make demo`, `make test` and `make package` as root;
# then installs the package into a second fresh root, runs the demo recording through the
# installed varnel.exe and compares its log with the one the build wrote. Prints the times.
#
# Needs root (chroot, mounts) and mmdebstrap. Downloaded packages are kept in $FRESH_CACHE
# (/var/cache/varnel-fresh-test) for the next run; the roots live under $FRESH_DIR
# (build-fresh/ in the checkout) and are deleted on every way out.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
work=${FRESH_DIR:-$repo/build-fresh}
cache=${FRESH_CACHE:-/var/cache/varnel-fresh-test}
checkout="/root/fresh checkout/varnel"  # the space is on purpose
user_checkout=/home/newcomer/varnel
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
say "bootstrapping $first (minbase, git, make) from ${sources[*]}"
timed bootstrap1 bootstrap "$first" git,make
enter "$first"
git clone --quiet --no-hardlinks "$repo" "$first$checkout"
in_root "$first" root useradd --create-home --shell /bin/bash newcomer
git clone --quiet --no-hardlinks "$repo" "$first$user_checkout"
in_root "$first" root chown -R newcomer:newcomer "$user_checkout"

say "make demo as a user without sudo"
packages_before=$(in_root "$first" root dpkg-query -W -f='${Package} ${Version}\n')
status=0
in_root "$first" newcomer sh -c "cd $user_checkout && make demo" >"$work/user.out" 2>"$work/user.err" ||
  status=$?
cat "$work/user.out" "$work/user.err"
[[ $status -ne 0 ]] || die "make demo as a user without sudo succeeded"
grep -q '^  apt-get update && apt-get install --no-install-recommends ' "$work/user.err" ||
  die "make demo as a user without sudo did not say what to run as root"
[[ $(wc -l <"$work/user.err") -le 3 ]] || die "make demo as a user printed more than its message"
[[ $packages_before == "$(in_root "$first" root dpkg-query -W -f='${Package} ${Version}\n')" ]] ||
  die "make demo as a user changed the installed packages"
[[ ! -e $first$user_checkout/build ]] || die "make demo as a user left a build directory"

say "make demo as root in '$checkout'"
timed demo in_root "$first" root sh -c "cd '$checkout' && make demo"
say "make test as root"
timed test in_root "$first" root sh -c "cd '$checkout' && make test"
say "make package as root"
timed package in_root "$first" root sh -c "cd '$checkout' && make package"
debs=("$first$checkout"/build/varnel_*_amd64.deb)
[[ -f ${debs[0]} ]] || die "make package made no varnel_*_amd64.deb"
deb=$(basename "${debs[0]}")
cp "${debs[0]}" "$work/$deb"
mkdir -p "$work/demo"
cp "$first$checkout/$recording" "$first$checkout/$demo_log" "$work/demo/"

# ---- the second root: a machine that only installs the package
second=$work/debian-12-package
say "bootstrapping $second (minbase)"
timed bootstrap2 bootstrap "$second" ""
enter "$second"
cp "$work/$deb" "$second/tmp/$deb"
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
in_root "$second" root sh -c "varnel-sim --version && varnel-plot --version"
say "the demo recording through the installed varnel.exe"
in_root "$second" root sh -c "cd /tmp/run && varnel.exe 100000 20mV_delay-all $(basename "$recording")"
cmp "$work/demo/$(basename "$demo_log")" "$second/tmp/run/$(basename "$demo_log")" ||
  die "the installed varnel.exe wrote a log different from the build's"
in_root "$second" root sh -c "cd /tmp/run && varnel-plot 100000 20mV_delay-all $(basename "$recording")"
[[ -s $second/tmp/run/$(basename "$demo_log" .log).png ]] || die "the installed varnel-plot drew no picture"

summary="times (s): bootstrap ${took[bootstrap1]}, make demo ${took[demo]}, make test ${took[test]},"
summary+=" make package ${took[package]}; package root: bootstrap ${took[bootstrap2]},"
summary+=" apt install ${took[install]}"
say "passed; $summary"
echo "$summary" >"$work/times.txt"

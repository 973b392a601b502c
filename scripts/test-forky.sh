#!/usr/bin/env bash
# Builds a Debian forky root with CPython 3.14 and 3.15 (interpreters and
# headers) and GCC 16, all from that suite, copies the work tree into it, and
# for each interpreter builds the project in a virtual environment of its own
# and runs the whole suite.
#
#   scripts/test-forky.sh ROOT [PYTHON VERSIONS...]   (default: 3.14 3.15)
#
# The root is a tmpfs mounted on ROOT in a mount namespace of the run's own,
# with the /proc the suite needs: it is unmounted on every path the script
# sees (EXIT, INT, TERM), and goes with the namespace however the run ends.
# FORKY_MIRROR names the archive (default http://deb.debian.org/debian). Needs
# root (mmdebstrap's root mode, chroot, mount), as the rest of the CI does.
set -euo pipefail

root=$(realpath -m "${1:?usage: test-forky.sh ROOT [PYTHON VERSIONS...]}")
shift
if [ $# -gt 0 ]; then versions=("$@"); else versions=(3.14 3.15); fi
mirror=${FORKY_MIRROR:-http://deb.debian.org/debian}
suite=forky
gcc=16
say() { echo "test-forky: $*"; }

# Outside the namespace: the checks, then the run in a namespace of its own;
# the empty mount point is all that is left to remove afterwards.
if [ -z "${IO_RS_FORKY_INSIDE:-}" ]; then
  [ "$(id -u)" = 0 ] || { say "needs root (mmdebstrap, chroot and mount)"; exit 1; }
  command -v mmdebstrap >/dev/null || {
    say "installing mmdebstrap"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq mmdebstrap >/dev/null 2>&1 || { apt-get update -qq && apt-get install -y -qq mmdebstrap >/dev/null; }
  }
  # A plain answer when the archive is out of reach, before anything is
  # built: apt's own downloader fetches the suite's signed index.
  probe=$(mktemp)
  if ! error=$(timeout 60 /usr/lib/apt/apt-helper download-file "$mirror/dists/$suite/InRelease" "$probe" 2>&1); then
    rm -f "$probe"
    reason=$(grep -m1 '^E: ' <<<"$error" | sed 's/^E: //; s/  */ /g' || true)
    say "Debian's archive cannot be reached: ${reason:-no answer from $mirror in 60 s}"
    exit 1
  fi
  rm -f "$probe"
  mountpoint -q "$root" && { say "$root is mounted already (another run?)"; exit 1; }
  # rm never crosses into another file system: nothing mounted below is emptied.
  rm -rf --one-file-system "$root"
  mkdir -p "$root"
  trap 'rmdir "$root" 2>/dev/null || true' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  IO_RS_FORKY_INSIDE=1 unshare --mount --propagation private "$(realpath "$0")" "$root" "${versions[@]}"
  exit
fi

SECONDS=0
finish() {
  local status=$?
  umount -R "$root" 2>/dev/null || umount -lR "$root" 2>/dev/null || true
  [ $status != 0 ] || say "passed in $SECONDS s"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mount -t tmpfs -o size=8G,mode=0755 forky "$root"

packages=g++-$gcc,ca-certificates
for v in "${versions[@]}"; do packages+=,python$v,python$v-dev,python$v-venv; done
say "building a $suite root with $packages"
mmdebstrap --quiet --variant=apt --include="$packages" \
  --aptopt='Acquire::Check-Valid-Until "false"' "$suite" "$root" "$mirror"
say "root ready in $SECONDS s"
mount -t proc proc "$root/proc"
# Pseudo-terminals for the tests that run a program on one: the host's
# devpts, and a ptmx node that opens through it.
mkdir -p "$root/dev/pts"
mount --bind /dev/pts "$root/dev/pts"
rm -f "$root/dev/ptmx" && mknod -m 666 "$root/dev/ptmx" c 5 2

# pip inside the root trusts what pip here trusts (a proxy's authority, say).
bundle=${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}
[ -f "$bundle" ] && cp "$bundle" "$root/etc/ssl/certs/ca-certificates.crt"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

# The work tree as it stands, from its top: tracked files (deleted ones left
# out) and new files that git does not ignore.
mkdir "$root/src"
cd "$(git rev-parse --show-toplevel)"
git ls-files -z --cached --others --exclude-standard |
  tar --null --files-from=- --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C "$root/src"

for v in "${versions[@]}"; do
  started=$SECONDS
  say "CPython $v: build and suite"
  chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    CC=gcc-$gcc CXX=g++-$gcc PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=60 /bin/sh -ec '
      cd /src
      python$1 -m venv /venv$1
      /venv$1/bin/python -m pip install -q -r requirements/build.txt -r requirements/test.txt
      /venv$1/bin/python -m pip install -q --no-build-isolation --no-deps -C build-dir=/build/$1 .
      /venv$1/bin/python -c "import sys, unicodedata, numpy; print(\"test-forky: CPython\", sys.version.split()[0],
          \"(Unicode\", unicodedata.unidata_version + \"), NumPy\", numpy.__version__)"
      /venv$1/bin/python -m pytest -q -p no:cacheprovider' sh "$v"
  say "CPython $v passed in $((SECONDS - started)) s"
done

#!/bin/sh
# Builds the packages that the rpm database tests install or sign:
#   build-packages.sh OUTDIR
# installed.spec and signed.spec once, twin.spec in versions 1.0 and 2.0.
set -eu
out=$1
specs=$(cd "$(dirname "$0")/packages" && pwd)
top=$(mktemp -d "${TMPDIR:-/tmp}/rpmdb-packages.XXXXXX")
trap 'rm -rf "$top"' EXIT
mkdir -p "$out"
build() {
  HOME=$top rpmbuild -bb --quiet --define "_topdir $top" --define "_tmppath $top" --define "_rpmdir $out" \
    --define '_build_name_fmt %%{NAME}-%%{VERSION}-%%{RELEASE}.%%{ARCH}.rpm' "$@" >"$top/log" 2>&1 \
    || { cat "$top/log" >&2; exit 1; }
}
build "$specs/installed.spec"
build --define "twin_version 1.0" "$specs/twin.spec"
build --define "twin_version 2.0" "$specs/twin.spec"
build "$specs/signed.spec"

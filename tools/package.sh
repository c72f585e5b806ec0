#!/usr/bin/env bash
# Builds the release packages into out/: the Debian package (korvel7, korvel7-sim, their man
# pages and bash completion, the README) from the native build, and the Windows zip
# (KORVEL7Updater.exe, korvel7.exe, the README, SHA256SUMS) from the cross build.
#
#   tools/package.sh [--sign-cert CERT.pem --sign-key KEY.pem]
#
# With a code-signing certificate and its unencrypted key (PEM files kept outside the
# repository), both .exe files in the zip are signed with osslsigncode.
set -euo pipefail
cd "$(dirname "$0")/.."

while (($# > 0)); do
  case $1 in
    --sign-cert) export KORVEL7_SIGN_CERT=$(realpath "$2"); shift 2 ;;
    --sign-key) export KORVEL7_SIGN_KEY=$(realpath "$2"); shift 2 ;;
    *) echo "usage: tools/package.sh [--sign-cert CERT.pem --sign-key KEY.pem]" >&2; exit 64 ;;
  esac
done

tools/setup.sh
for preset in native windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
# Only this version's packages stay in out/.
rm -f out/korvel7_*.deb* out/korvel7-*.zip*
cpack --preset deb
cpack --preset zip

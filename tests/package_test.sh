#!/usr/bin/env bash
# Checks the release packages that tools/package.sh left in out/: the Debian package
# unpacked into a scratch root (its programs run, its man pages render, its completion
# completes), the Windows zip (SHA256SUMS holds for exactly what it carries, the programs
# keep their hardening), and a zip signed with a throwaway certificate made here.
set -euo pipefail
cd "$(dirname "$0")/.."
scratch=$(mktemp -d)
sim=
trap '[[ -n $sim ]] && kill $sim 2>/dev/null; rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
step() { printf -- '-- %s\n' "$*"; }

debs=(out/korvel7_*_amd64.deb) zips=(out/korvel7-*-win64.zip)
((${#debs[@]} == 1)) && [[ -f ${debs[0]} ]] || { echo "FAIL: not one .deb in out/" >&2; exit 1; }
((${#zips[@]} == 1)) && [[ -f ${zips[0]} ]] || { echo "FAIL: not one zip in out/" >&2; exit 1; }
version=$(dpkg-deb -f "${debs[0]}" Version)

step "${debs[0]}: $(stat -c %s "${debs[0]}") bytes"
root=$scratch/root
dpkg -x "${debs[0]}" "$root"
bin=$root/usr/bin
[[ $("$bin/korvel7" --version | head -n 1) == "korvel7 $version" ]] || fail "korvel7 --version is not $version"
[[ $("$bin/korvel7-sim" --version) == "korvel7-sim $version" ]] || fail "korvel7-sim --version is not $version"
for program in korvel7 korvel7-sim; do
  page=$(MANWIDTH=100 man -l "$root/usr/share/man/man1/$program.1.gz" 2>/dev/null) || fail "man -l $program.1.gz"
  grep -q "^NAME" <<<"$page" && grep -q "$program $version" <<<"$page" ||
    fail "the man page of $program has no NAME or no version $version"
done
cmp -s README.md "$root/usr/share/doc/korvel7/README.md" || fail "README.md is not in the doc folder"
# The example rule is all comment, and its rule line is the one udev-rule writes, ids aside.
example=$root/usr/share/doc/korvel7/70-korvel7.rules.example
grep -qv '^#' "$example" 2>/dev/null && fail "the example rule has a line that is no comment"
grep -q '^#SUBSYSTEM=="tty", ATTRS{idVendor}=="VVVV", ATTRS{idProduct}=="PPPP", TAG+="uaccess", GROUP="dialout", MODE="0660", ENV{ID_MM_DEVICE_IGNORE}="1", SYMLINK+="korvel7-%k"$' "$example" ||
  fail "the doc folder has no example rule, or not the rule korvel7 udev-rule writes"

# The packaged programs work together: the simulator serves, korvel7 reads its version.
"$bin/korvel7-sim" --link "$scratch/port" >/dev/null 2>&1 &
sim=$!
for _ in $(seq 100); do [[ -e $scratch/port ]] && break; sleep 0.05; done
out=$("$bin/korvel7" version --port "$scratch/port" 2>/dev/null) || true
[[ $out == *"Existing FW version: 2.4.5"* ]] || fail "packaged korvel7 against korvel7-sim: $out"
kill $sim && wait $sim 2>/dev/null || true
sim=

# Completion, as bash asks for it: the word list for the cursor's word.
complete_words() {
  PATH=$bin:$PATH bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    "$(complete -p "$1" | sed "s/.*-F \([^ ]*\) .*/\1/")"; echo "${COMPREPLY[*]}"' \
    _ "$root/usr/share/bash-completion/completions/$1" "$@"
}
[[ $(complete_words korvel7 pro) == program ]] || fail "korvel7 pro<TAB>: $(complete_words korvel7 pro)"
[[ $(complete_words korvel7 program --p) == "--port --progress" ]] ||
  fail "korvel7 program --p<TAB>: $(complete_words korvel7 program --p)"
[[ $(complete_words korvel7 help ad) == address ]] || fail "korvel7 help ad<TAB>"
[[ $(complete_words korvel7-sim --fa) == --fault ]] || fail "korvel7-sim --fa<TAB>"

# A zip holds one folder with the programs, the README and SHA256SUMS over the other three.
check_zip() {
  local zip=$1 dir=$2
  unzip -q "$zip" -d "$dir"
  local top=("$dir"/*)
  ((${#top[@]} == 1)) || { fail "$zip: not one folder at the top"; return; }
  [[ $(cd "$top" && LC_ALL=C ls | tr "\n" " ") == "KORVEL7Updater.exe README.md SHA256SUMS korvel7.exe " ]] ||
    fail "$zip holds $(cd "$top" && ls | tr '\n' ' ')"
  (cd "$top" && sha256sum --quiet --strict -c SHA256SUMS) || fail "$zip: SHA256SUMS does not hold"
  [[ $(cut -d ' ' -f 3 "$top/SHA256SUMS" | tr '\n' ' ') == "KORVEL7Updater.exe README.md korvel7.exe " ]] ||
    fail "$zip: SHA256SUMS lists $(cut -d ' ' -f 3 "$top/SHA256SUMS" | tr '\n' ' ')"
  for exe in KORVEL7Updater.exe korvel7.exe; do
    cmake -DOBJDUMP=x86_64-w64-mingw32-objdump -DEXE="$top/$exe" -P cmake/check_pe.cmake >/dev/null ||
      fail "$zip: $exe lost its hardening"
  done
}
step "${zips[0]}: $(stat -c %s "${zips[0]}") bytes"
check_zip "${zips[0]}" "$scratch/zip"
osslsigncode verify -in "$scratch"/zip/*/korvel7.exe >/dev/null 2>&1 && fail "the unsigned zip's korvel7.exe has a signature"

# Signing with a certificate made for this run only; its signature verifies against it.
step "signing with a throwaway certificate"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=KORVEL7 package test" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$scratch/key.pem" -out "$scratch/cert.pem" 2>/dev/null
KORVEL7_SIGN_CERT=$scratch/cert.pem KORVEL7_SIGN_KEY=$scratch/key.pem \
  cpack --preset zip -B "$scratch/signed" >/dev/null || fail "cpack could not make a signed zip"
check_zip "$scratch"/signed/korvel7-*-win64.zip "$scratch/signed-zip"
for exe in KORVEL7Updater.exe korvel7.exe; do
  osslsigncode verify -CAfile "$scratch/cert.pem" -in "$scratch"/signed-zip/*/"$exe" >"$scratch/verify" 2>&1 ||
    fail "the signature of $exe does not verify: $(cat "$scratch/verify")"
done

((failures == 0)) && echo "packages: all checks passed"
exit $((failures > 0))

#!/usr/bin/env bash
# tools/sign-setup.sh on the real setup executable with a throwaway self-signed certificate:
# osslsigncode verifies the result against it, the payload still opens with pefile and zipfile,
# the checksum file, the bill of materials and the package manager manifest hold the signed digest,
# every refusal leaves the files byte for byte as they were, and the signed setup still shows its dialog under Wine and
# exits 0 after No.
# ctest-lock: wine
# ctest-fixtures: setup_exe;wine_prefix
# ctest-timeout: 600
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../wine/lib.sh"
source "$here/../wine/checks.sh"

version=$(product_version)
setup_exe="${TARNQUILL_TEST_SETUP_EXE:-$wine_release/test/setup/TARNQUILL-Setup-$version-online.exe}"
name=$(basename "$setup_exe")
setup_dir=$(dirname "$setup_exe")
manifest="winget/TARNQUILL.TARNQUILL/$version/TARNQUILL.TARNQUILL.installer.yaml"
sign="$wine_root/tools/sign-setup.sh"
scratch="$wine_release/test/signing"
rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=TARNQUILL test signing" \
    -addext extendedKeyUsage=codeSigning -keyout key.pem -out cert.pem 2>/dev/null
openssl pkcs12 -export -inkey key.pem -in cert.pem -out cert.p12 -passout pass:right-password

unsigned() { # FOLDER: the built setup, its checksum file, bill of materials and manifest alone in FOLDER
    mkdir -p "$1"
    cp -r "$setup_exe" "$setup_exe.sha256" "$setup_exe.cdx.json" "$setup_dir/winget" "$1/"
}

serial() { # DIGEST: the serial number the image builder derives from a setup's SHA-256
    /usr/bin/python3 -c 'import sys, uuid; print(uuid.uuid5(uuid.NAMESPACE_URL, "urn:sha256:" + sys.argv[1]))' "$1"
}

snapshot() { # FOLDER: every entry's name and every file's digest
    (cd "$1" && find . -mindepth 1 | sort && find . -type f -print0 | sort -z | xargs -0 sha256sum)
}

run_sign() { # NAME PASSWORD FILE: leaves the exit status in sign_rc, output in NAME.out/.err
    set +e
    TARNQUILL_SIGN_PASSWORD="$2" "$sign" "$3" cert.p12 >"$1.out" 2>"$1.err"
    sign_rc=$?
    set -e
}

echo "== Signing"
unsigned signed
run_sign signed right-password "signed/$name"
check_eq "exit status" 0 "$sign_rc"
digest=$(sha256sum "signed/$name" | cut -d ' ' -f 1)
check_eq "printed digest" "SHA256 $digest" "$(cat signed.out)"
check_eq "checksum file" "$digest  $name" "$(cat "signed/$name.sha256")"
# The same document, the same bytes, but for the setup's SHA-256 and the serial number.
unsigned_digest=$(cut -d ' ' -f 1 "$setup_exe.sha256")
check_eq "bill of materials" \
    "$(sed -e "s/$unsigned_digest/$digest/" -e "s/$(serial "$unsigned_digest")/$(serial "$digest")/" "$setup_exe.cdx.json")" \
    "$(cat "signed/$name.cdx.json")"
grep -q "\"content\": \"$digest\"" "signed/$name.cdx.json" && echo "ok: it names the signed digest" ||
    fail "the bill of materials does not name the signed digest"
node "$wine_root/tests/support/validate_cyclonedx.js" "signed/$name.cdx.json" >validate.out 2>&1 &&
    echo "ok: still valid CycloneDX 1.6" || fail "schema: $(cat validate.out)"
# The manifest's files the same bytes but for the SHA-256, which it writes upper-case.
for file in $(cd "$setup_dir" && find winget -type f | sort); do
    check_eq "$file" "$(sed "s/${unsigned_digest^^}/${digest^^}/" "$setup_dir/$file")" "$(cat "signed/$file")"
done
check_eq "the manifest's InstallerSha256 as PyYAML reads it" "${digest^^}" \
    "$(/usr/bin/python3 -c 'import sys, yaml; print(yaml.safe_load(open(sys.argv[1]))["Installers"][0]["InstallerSha256"])' "signed/$manifest")"
check_eq "nothing else in the folder" "$(printf '%s\n' "$name" "$name.cdx.json" "$name.sha256" winget)" \
    "$(ls -A signed)"
if osslsigncode verify -CAfile cert.pem -in "signed/$name" >verify.out 2>&1; then
    echo "ok: osslsigncode verifies the signature"
else
    fail "osslsigncode verify: $(cat verify.out)"
fi
/usr/bin/python3 "$wine_root/tests/support/extract_payload.py" "$setup_exe" unsigned.zip
/usr/bin/python3 "$wine_root/tests/support/extract_payload.py" "signed/$name" signed.zip
cmp -s unsigned.zip signed.zip && echo "ok: same payload" || fail "the payload changed"
check_eq "payload opens and its CRCs match" None \
    "$(/usr/bin/python3 -c 'import sys, zipfile; print(zipfile.ZipFile(sys.argv[1]).testzip())' signed.zip)"

# refused NAME FOLDER FILE PASSWORD SENTENCE: a refusal that changes nothing in FOLDER
refused() {
    local before
    before=$(snapshot "$2")
    run_sign "$1" "$4" "$3"
    [ "$sign_rc" -ne 0 ] && echo "ok: $1 refused" || fail "$1: exit status 0"
    grep -qF -- "$5" "$1.err" && echo "ok: $1 says why" || fail "$1: [$(cat "$1.err")]"
    check_eq "$1 changes nothing" "$before" "$(snapshot "$2")"
}

echo "== Refusals"
unsigned wrong
refused "wrong password" wrong "wrong/$name" not-the-password "is wrong for cert.p12"
refused "signed already" signed "signed/$name" right-password "is signed already"
mkdir -p text
printf 'not an executable\n' >"text/$name"
refused "not a PE image" text "text/$name" right-password "is not a Windows executable"
refused "missing file" text "text/missing.exe" right-password "There is no file at"
unsigned other
sed -i "s/$unsigned_digest/$(printf '0%.0s' {1..64})/" "other/$name.cdx.json"
refused "another setup's bill of materials" other "other/$name" right-password \
    "does not describe other/$name"
rm "other/$name.cdx.json"
refused "no bill of materials" other "other/$name" right-password "There is no bill of materials at"
unsigned stale
sed -i "s/${unsigned_digest^^}/$(printf '0%.0s' {1..64})/" "stale/$manifest"
refused "another setup's manifest" stale "stale/$name" right-password \
    "There is no package manager manifest under stale/winget that names the SHA-256 of stale/$name"

echo "== The signed setup under Wine: dialog, then No"
cleanup() {
    xvfb_stop
    wine_reset
}
trap cleanup EXIT
wine_prefix_ensure "$WINEPREFIX"
xvfb_start
wine_reset
printf '@"%%~1"\r\n@exit /b %%errorlevel%%\r\n' >run.cmd
(
    wine cmd /c "$(wine_path run.cmd)" "$(wine_path "signed/$name")" >wine.out 2>&1 &&
        status=0 || status=$?
    echo "$status" >wine.rc
) &
runner=$!
window=$(dialog_wait "^TARNQUILL ${version//./\\.} Setup\$" 60) || true
if [ -n "$window" ]; then
    echo "ok: confirmation dialog shown"
    dialog_press_no "$window"
else
    fail "no confirmation dialog from the signed setup"
    screenshot "$wine_release/wine/screenshots/signed-setup-nodialog.png"
    wine_reset
fi
for _ in $(seq 1 60); do
    [ -f wine.rc ] && break
    sleep 1
done
[ -f wine.rc ] || wine_reset
wait "$runner" || true
# A No ends with 1602 (cancelled by the user); wine passes on its low 8 bits, 66.
check_eq "exit status after No" 66 "$(cat wine.rc 2>/dev/null || echo none)"

checks_finish "signing"

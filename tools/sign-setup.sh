#!/usr/bin/env bash
# Signs a setup executable in place with Authenticode (SHA-256) and rewrites its checksum file,
# the setup's SHA-256 and serial number in its bill of materials, and its SHA-256 in its package
# manager manifest.
# Usage: tools/sign-setup.sh EXE PKCS12
#   TARNQUILL_SIGN_PASSWORD       password of the PKCS#12 file (required; may be empty)
#   TARNQUILL_SIGN_TIMESTAMP_URL  RFC 3161 time-stamp server (optional)
# The password is handed to osslsigncode through a pipe, never on a command line. Signing works
# on copies beside EXE, so a refusal or a failure leaves EXE, its checksum file, its bill of
# materials and its manifest as they were.
set -euo pipefail

refuse() {
    echo "sign-setup.sh: $*" >&2
    exit 1
}

# The 32-bit little-endian value at a byte offset of a file.
read_u32() {
    od -An -tu4 -j "$2" -N 4 --endian=little -- "$1" | tr -d ' '
}

# MZ, then "PE\0\0" where the value at 0x3C points.
is_pe_image() {
    local pe_offset
    [ "$(head -c 2 -- "$1")" == "MZ" ] || return 1
    pe_offset=$(read_u32 "$1" 60)
    [ -n "$pe_offset" ] || return 1
    [ "$(od -An -tx1 -j "$pe_offset" -N 4 -- "$1" | tr -d ' ')" == "50450000" ]
}

# The certificate table (data directory 4) has a size when the image carries a signature.
is_signed() {
    local pe_offset magic directories size
    pe_offset=$(read_u32 "$1" 60)
    magic=$(od -An -tu2 -j $((pe_offset + 24)) -N 2 --endian=little -- "$1" | tr -d ' ')
    case "$magic" in
    523) directories=$((pe_offset + 24 + 112)) ;; # PE32+
    267) directories=$((pe_offset + 24 + 96)) ;;  # PE32
    *) return 1 ;;
    esac
    size=$(read_u32 "$1" $((directories + 4 * 8 + 4)))
    [ -n "$size" ] && [ "$size" -ne 0 ]
}

# The image builder's rule for the files beside EXE: the extension replaced by ".exe" and SUFFIX,
# appended where there is none. Usage: beside_setup EXE SUFFIX
beside_setup() {
    local folder name
    folder=$(dirname -- "$1")
    name=$(basename -- "$1")
    [[ "${name:1}" == *.* ]] && name="${name%.*}"
    printf '%s/%s.exe%s' "$folder" "$name" "$2"
}

# Writes the bill of materials BOM to OUT with the setup's SHA-256 changed from OLD to NEW and the
# serial number made from NEW as the image builder makes it; sorted keys and two-space indents,
# as the builder writes them. Fails when BOM does not name OLD as the setup's SHA-256.
# Usage: rewrite_bill_of_materials BOM OLD NEW OUT
rewrite_bill_of_materials() {
    python3 - "$@" <<'PY'
import json
import sys
import uuid

path, old, new, out = sys.argv[1:]
with open(path, encoding="utf-8") as source:
    bom = json.load(source)
hashes = bom["metadata"]["component"]["hashes"]
if hashes != [{"alg": "SHA-256", "content": old}]:
    sys.exit(f"the setup's SHA-256 in it is not {old}")
hashes[0]["content"] = new
bom["serialNumber"] = f"urn:uuid:{uuid.uuid5(uuid.NAMESPACE_URL, 'urn:sha256:' + new)}"
with open(out, "w", encoding="utf-8") as target:
    target.write(json.dumps(bom, indent=2, sort_keys=True, ensure_ascii=False) + "\n")
PY
}

[ $# -eq 2 ] || {
    echo "Usage: tools/sign-setup.sh EXE PKCS12 (password in TARNQUILL_SIGN_PASSWORD)" >&2
    exit 2
}
exe=$1
pkcs12=$2
[ -f "$exe" ] || refuse "There is no file at $exe; nothing was signed."
is_pe_image "$exe" || refuse "$exe is not a Windows executable (PE image); nothing was signed."
if is_signed "$exe"; then
    refuse "$exe is signed already; it was left as it is."
fi
[ -f "$pkcs12" ] || refuse "There is no PKCS#12 file at $pkcs12; nothing was signed."
[ -n "${TARNQUILL_SIGN_PASSWORD+set}" ] ||
    refuse "TARNQUILL_SIGN_PASSWORD is not set; it must hold the password of $pkcs12. Nothing was signed."
command -v osslsigncode >/dev/null ||
    refuse "osslsigncode is not installed (tools/install-build-deps.sh installs it); nothing was signed."
bom=$(beside_setup "$exe" .cdx.json)
[ -f "$bom" ] ||
    refuse "There is no bill of materials at $bom (the image builder writes it beside the setup); nothing was signed."
command -v python3 >/dev/null ||
    refuse "python3 is not installed (tools/install-build-deps.sh installs it); nothing was signed."
unsigned_digest=$(sha256sum -- "$exe" | cut -d ' ' -f 1)
# The installer file of the package manager manifest that names EXE, found by the one line the
# image builder writes its SHA-256 on (upper-case, quoted) in winget/<identifier>/<version>.
winget_folder="$(dirname -- "$exe")/winget"
manifest_line="  InstallerSha256: '${unsigned_digest^^}'"
mapfile -t manifests < <(grep -lxF -- "$manifest_line" "$winget_folder"/*/*/*.installer.yaml 2>/dev/null)
[ "${#manifests[@]}" -ne 0 ] ||
    refuse "There is no package manager manifest under $winget_folder that names the SHA-256 of" \
        "$exe (the image builder writes it beside the setup); nothing was signed."
[ "${#manifests[@]}" -eq 1 ] ||
    refuse "${#manifests[@]} package manager manifests under $winget_folder name the SHA-256 of" \
        "$exe (${manifests[*]}); nothing was signed."
manifest=${manifests[0]}

# The copy lies beside EXE, so the final rename stays on one file system.
scratch=$(mktemp -d "$(dirname -- "$exe")/.sign-setup.XXXXXX")
trap 'rm -rf -- "$scratch"' EXIT
signed="$scratch/$(basename -- "$exe")"
timestamp=()
[ -n "${TARNQUILL_SIGN_TIMESTAMP_URL:-}" ] && timestamp=(-ts "$TARNQUILL_SIGN_TIMESTAMP_URL")
if ! osslsigncode sign -pkcs12 "$pkcs12" -readpass <(printf '%s' "$TARNQUILL_SIGN_PASSWORD") \
    -h sha256 "${timestamp[@]}" -in "$exe" -out "$signed" >"$scratch/osslsigncode.log" 2>&1; then
    if grep -q "PKCS#12" "$scratch/osslsigncode.log"; then
        refuse "The password in TARNQUILL_SIGN_PASSWORD is wrong for $pkcs12, or that is no" \
            "PKCS#12 file; nothing was signed."
    fi
    cat "$scratch/osslsigncode.log" >&2
    refuse "osslsigncode could not sign $exe (its messages are above); nothing was changed."
fi

checksum=$(beside_setup "$exe" .sha256)
digest=$(sha256sum -- "$signed" | cut -d ' ' -f 1)
printf '%s  %s\n' "$digest" "$(basename -- "$exe")" >"$scratch/checksum"
[ -f "$checksum" ] && chmod --reference="$checksum" -- "$scratch/checksum"
if ! rewrite_bill_of_materials "$bom" "$unsigned_digest" "$digest" "$scratch/bom" 2>"$scratch/bom.log"; then
    refuse "$bom does not describe $exe ($(tail -n 1 "$scratch/bom.log")); nothing was changed."
fi
chmod --reference="$bom" -- "$scratch/bom"
sed -e "s/^$manifest_line\$/  InstallerSha256: '${digest^^}'/" -- "$manifest" >"$scratch/manifest"
chmod --reference="$manifest" -- "$scratch/manifest"
chmod --reference="$exe" -- "$signed"
mv -f -- "$signed" "$exe"
mv -f -- "$scratch/checksum" "$checksum"
mv -f -- "$scratch/bom" "$bom"
mv -f -- "$scratch/manifest" "$manifest"
echo "SHA256 $digest"
